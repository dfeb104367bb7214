/* Test-only MDIO bus, preloaded in front of a program that uses the MII ioctls.
 *
 * It answers SIOCGMIIREG and SIOCSMIIREG for one interface from a model of 32 PHYs of 32
 * registers each, with the lookup-table access of the Realtek 830x switch on PHY 7: register
 * 0x12 latches the entry address, a write to register 0x10 with bit 0x0002 starts a read (only
 * while bit 0x0800 of PHY 0 register 0x13 is set), bit 0x0002 of register 0x10 reads as busy for
 * a few polls, and then registers 0x11 to 0x14 hold the entry. Every other interface fails as
 * the kernel fails it: ENODEV for a name that does not exist, EOPNOTSUPP for an existing one
 * (nothing here has MII). Other ioctls go to the C library.
 *
 * Environment:
 *   MDIOSIM_IFNAME  the interface answered (required for any answer)
 *   MDIOSIM_CONFIG  optional file of initial contents, one statement a line, '#' comments:
 *                     reg <phy> <reg> <value>          register contents
 *                     lut <index> <high> <low>         table entry as two 32-bit words
 *                     mac <index> <xx:..:xx> <port>    table entry from a MAC address and port
 *                     fail-read <phy> <reg>            reads of the register fail with EIO
 *                     fail-write <phy> <reg>           writes of the register fail with EIO
 *                     fail-entry <index>               reads of the entry's data fail with EIO
 *                     busy <polls>                     busy polls before a read completes (2)
 *                   numbers in C notation (0x prefix for hexadecimal)
 *   MDIOSIM_LOG     optional file; every MII request is appended as one line:
 *                     R|W <ifname> 0x<phy> 0x<reg> 0x<value>|<errno name>
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* linux/if.h and net/if.h cannot be mixed. */
extern unsigned int if_nametoindex(const char* ifname);

enum { PHYS = 32, REGS = 32, ENTRIES = 1024, SWITCH_PHY = 7, BUSY = 0x0002 };

static struct {
    pthread_mutex_t lock;
    char ifname[IFNAMSIZ];
    uint16_t regs[PHYS][REGS];
    uint8_t fail_read[PHYS][REGS];
    uint8_t fail_write[PHYS][REGS];
    uint64_t lut[ENTRIES];
    uint8_t fail_entry[ENTRIES];
    int busy_polls;
    int busy_left;    /* polls still answered busy */
    unsigned pending; /* entry being read */
    int entry_failed; /* the data registers fail until the next read starts */
    const char* log;
} sim = {.lock = PTHREAD_MUTEX_INITIALIZER, .busy_polls = 2};

static pthread_once_t once = PTHREAD_ONCE_INIT;

static void __attribute__((noreturn)) config_error(const char* path, int line, const char* text) {
    fprintf(stderr, "mdiosim: %s:%d: cannot use '%s'\n", path, line, text);
    _exit(99);
}

static int number(const char* text, unsigned long max, unsigned long* value) {
    char* end;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || v > max)
        return 0;
    *value = v;
    return 1;
}

static void load_config(const char* path) {
    FILE* f = fopen(path, "r");
    if (f == NULL) {
        perror("mdiosim: MDIOSIM_CONFIG");
        _exit(99);
    }
    char line[256];
    int lineno = 0;
    while (fgets(line, sizeof line, f) != NULL) {
        ++lineno;
        char* hash = strchr(line, '#');
        if (hash != NULL)
            *hash = '\0';
        char word[32], a[64], b[64], c[64];
        int n = sscanf(line, "%31s %63s %63s %63s", word, a, b, c);
        if (n <= 0)
            continue;
        unsigned long x, y, z;
        if (strcmp(word, "reg") == 0 && n == 4 && number(a, PHYS - 1, &x) && number(b, REGS - 1, &y) &&
            number(c, 0xFFFF, &z)) {
            sim.regs[x][y] = (uint16_t)z;
        } else if (strcmp(word, "lut") == 0 && n == 4 && number(a, ENTRIES - 1, &x) &&
                   number(b, 0xFFFFFFFFul, &y) && number(c, 0xFFFFFFFFul, &z)) {
            sim.lut[x] = ((uint64_t)y << 32) | z;
        } else if (strcmp(word, "mac") == 0 && n == 4 && number(a, ENTRIES - 1, &x) && number(c, 15, &z)) {
            unsigned o[6];
            char extra;
            if (sscanf(b, "%x:%x:%x:%x:%x:%x%c", &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &extra) != 6)
                config_error(path, lineno, b);
            uint32_t high = ((uint32_t)z << 16) | ((o[5] & 0xFFu) << 8) | (o[4] & 0xFFu);
            uint32_t low =
                ((o[3] & 0xFFu) << 24) | ((o[2] & 0xFFu) << 16) | ((o[1] & 0xFFu) << 8) | (o[0] & 0xFFu);
            sim.lut[x] = ((uint64_t)high << 32) | low;
        } else if (strcmp(word, "fail-read") == 0 && n == 3 && number(a, PHYS - 1, &x) &&
                   number(b, REGS - 1, &y)) {
            sim.fail_read[x][y] = 1;
        } else if (strcmp(word, "fail-write") == 0 && n == 3 && number(a, PHYS - 1, &x) &&
                   number(b, REGS - 1, &y)) {
            sim.fail_write[x][y] = 1;
        } else if (strcmp(word, "fail-entry") == 0 && n == 2 && number(a, ENTRIES - 1, &x)) {
            sim.fail_entry[x] = 1;
        } else if (strcmp(word, "busy") == 0 && n == 2 && number(a, 1000, &x)) {
            sim.busy_polls = (int)x;
        } else {
            config_error(path, lineno, word);
        }
    }
    fclose(f);
}

static void init(void) {
    const char* name = getenv("MDIOSIM_IFNAME");
    if (name != NULL)
        snprintf(sim.ifname, sizeof sim.ifname, "%s", name);
    sim.log = getenv("MDIOSIM_LOG");
    const char* config = getenv("MDIOSIM_CONFIG");
    if (config != NULL && *config != '\0')
        load_config(config);
}

static void record(char op, const char* ifname, const struct mii_ioctl_data* mii, uint16_t value, int err) {
    if (sim.log == NULL)
        return;
    char line[96];
    int len;
    if (err == 0)
        len = snprintf(line, sizeof line, "%c %s 0x%02x 0x%02x 0x%04x\n", op, ifname, mii->phy_id,
                       mii->reg_num, value);
    else
        len = snprintf(line, sizeof line, "%c %s 0x%02x 0x%02x %s\n", op, ifname, mii->phy_id, mii->reg_num,
                       strerrorname_np(err));
    int fd = open(sim.log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, line, (size_t)len) != len) {
        perror("mdiosim: MDIOSIM_LOG");
        _exit(99);
    }
    close(fd);
}

static void complete_table_read(void) {
    if (sim.fail_entry[sim.pending]) {
        sim.entry_failed = 1;
        return;
    }
    uint64_t e = sim.lut[sim.pending];
    sim.regs[SWITCH_PHY][0x11] = (uint16_t)(e >> 48);
    sim.regs[SWITCH_PHY][0x12] = (uint16_t)(e >> 32);
    sim.regs[SWITCH_PHY][0x13] = (uint16_t)(e >> 16);
    sim.regs[SWITCH_PHY][0x14] = (uint16_t)e;
}

static int read_register(unsigned phy, unsigned reg, uint16_t* value) {
    if (sim.fail_read[phy][reg])
        return EIO;
    if (phy == SWITCH_PHY && reg == 0x10) {
        if (sim.busy_left > 0) {
            *value = BUSY;
            if (--sim.busy_left == 0)
                complete_table_read();
        } else {
            *value = 0;
        }
        return 0;
    }
    if (phy == SWITCH_PHY && reg >= 0x11 && reg <= 0x14 && sim.entry_failed)
        return EIO;
    *value = sim.regs[phy][reg];
    return 0;
}

static int write_register(unsigned phy, unsigned reg, uint16_t value) {
    if (sim.fail_write[phy][reg])
        return EIO;
    if (phy == SWITCH_PHY && reg == 0x10) {
        if ((value & BUSY) && (sim.regs[0][0x13] & 0x0800)) {
            uint16_t latch = sim.regs[SWITCH_PHY][0x12];
            sim.pending = ((latch >> 8) & 0xFFu) | ((latch & 0x3u) << 8);
            sim.entry_failed = 0;
            sim.busy_left = sim.busy_polls;
            if (sim.busy_left == 0)
                complete_table_read();
        }
        return 0;
    }
    sim.regs[phy][reg] = value;
    return 0;
}

static int answer(int fd, unsigned long request, struct ifreq* ifr) {
    pthread_once(&once, init);
    if (fcntl(fd, F_GETFD) < 0)
        return EBADF;
    if (ifr == NULL)
        return EFAULT;

    /* The kernel takes at most IFNAMSIZ - 1 characters of the name. */
    char name[IFNAMSIZ];
    memcpy(name, ifr->ifr_name, IFNAMSIZ);
    name[IFNAMSIZ - 1] = '\0';
    struct mii_ioctl_data* mii = (struct mii_ioctl_data*)&ifr->ifr_ifru;
    char op = request == SIOCGMIIREG ? 'R' : 'W';
    uint16_t value = request == SIOCGMIIREG ? 0 : mii->val_in;

    int err;
    pthread_mutex_lock(&sim.lock);
    if (sim.ifname[0] == '\0' || strcmp(name, sim.ifname) != 0)
        err = if_nametoindex(name) != 0 ? EOPNOTSUPP : ENODEV;
    else if (mii->phy_id >= PHYS || mii->reg_num >= REGS)
        err = EINVAL;
    else if (request == SIOCGMIIREG)
        err = read_register(mii->phy_id, mii->reg_num, &value);
    else
        err = write_register(mii->phy_id, mii->reg_num, value);
    if (err == 0 && request == SIOCGMIIREG)
        mii->val_out = value;
    record(op, name, mii, value, err);
    pthread_mutex_unlock(&sim.lock);
    return err;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    if (request == SIOCGMIIREG || request == SIOCSMIIREG) {
        int err = answer(fd, request, (struct ifreq*)arg);
        if (err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }
    static int (*next)(int, unsigned long, ...);
    if (next == NULL)
        next = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}

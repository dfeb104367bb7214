/* swinfo: inspects the Realtek 830x switch over MDIO: its address lookup table, the port a MAC
 * address was learned on, and the link state of its PHYs. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hexarg.h"
#include "phyio.h"

enum {
    OP_NONE = 0,
    OP_READ_LUT_ONE = 1,
    OP_READ_LUT_ALL = 2,
    OP_SEEK_FOR_MAC = 3,
    OP_PHY_STATUS = 4,
    OP_VLAN_STATUS = 5,
};

enum {
    LUT_ENTRIES = 1024,
    SWITCH_PHY = 7,
    REG_LUT_CONTROL = 0x10,
    REG_LUT_DATA_HIGH = 0x11,
    REG_LUT_ADDRESS = 0x12, /* also the second data word once the read is done */
    REG_LUT_DATA_LOW_HIGH = 0x13,
    REG_LUT_DATA_LOW = 0x14,
    LUT_BUSY = 0x0002,
    REG_LUT_ENABLE = 0x13, /* on PHY 0 */
    LUT_ENABLE = 0x0800,
    STATUS_PHYS = 9,
};

struct lut_entry {
    uint32_t high; /* port in bits 16-19, MAC octets 6 and 5 in bits 8-15 and 0-7 */
    uint32_t low;  /* MAC octets 4 to 1, octet 1 in the low byte */
};

static int debug;

static void usage(const char* prog) {
    printf(
        "%s: simple app that allows talking with PHY IC and Realtek 830x switches\n"
        "Usage:\n"
        "\t%s -o operation -p phyid -r register -v value\n"
        "\t\t-o - operation \n"
        "\t\t\t- read-lut-one - \n"
        "\t\t\t- read-lut-all - \n"
        "\t\t\t- seek-for-mac - \n"
        "\t\t\t- phy-status   - \n"
        "\t\t\t- vlan-status  - \n"
        "\t\t-n - network interface controller i.e. eth0\n"
        "\t\t-m - mac addr in format xx:xx:xx:xx:xx:xx\n"
        "\t\t-p - phyid in hex i.e. 0x4\n"
        "\t\t-r - register number in hex i.e. 0x0a\n"
        "\t\t-v - value (mandatory for write, set, clear\n",
        prog, prog);
}

static void __attribute__((noreturn)) unrecognized(void) {
    puts("Unrecognized option");
    /* abort() does not flush stdio: without this the message is lost whenever stdout is a pipe or
     * a file. */
    fflush(stdout);
    abort();
}

static int operation(const char* word) {
    static const char* const words[] = {"read-lut-one", "read-lut-all", "seek-for-mac", "phy-status",
                                        "vlan-status"};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i)
        if (strcmp(word, words[i]) == 0)
            return (int)i + 1;
    return OP_NONE;
}

/* Accepts exactly six numbers and nothing after them; keeps the low 8 bits of each. */
static int parse_mac(const char* text, uint8_t mac[6]) {
    unsigned int o[6];
    char extra;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &extra) != 6)
        return 0;
    for (int i = 0; i < 6; ++i)
        mac[i] = (uint8_t)o[i];
    return 1;
}

static void enable_lookup_reading(const char* nic) {
    uint16_t v;
    /* Without a value read from the switch there is nothing safe to write back. */
    if (mdio_read(nic, 0, REG_LUT_ENABLE, &v) != 0)
        return;
    if ((v & LUT_ENABLE) == 0) {
        if (debug)
            puts("enabling lookup reading");
        mdio_write(nic, 0, REG_LUT_ENABLE, (uint16_t)(v | LUT_ENABLE));
    }
}

static int read_entry(const char* nic, unsigned address, struct lut_entry* entry) {
    enable_lookup_reading(nic);

    /* Low 8 address bits in the high byte, the top 2 in the low bits. If either write fails the
     * switch would hand back another entry, so stop there. */
    uint16_t latch = (uint16_t)(((address & 0xFF) << 8) | ((address >> 8) & 0x3));
    int rc = mdio_write(nic, SWITCH_PHY, REG_LUT_ADDRESS, latch);
    if (rc != 0)
        return rc;
    rc = mdio_write(nic, SWITCH_PHY, REG_LUT_CONTROL, 0xFFFF);
    if (rc != 0)
        return rc;

    uint16_t control;
    do {
        rc = mdio_read(nic, SWITCH_PHY, REG_LUT_CONTROL, &control);
        if (rc != 0)
            return rc;
    } while (control & LUT_BUSY);

    static const uint16_t order[] = {REG_LUT_DATA_LOW, REG_LUT_DATA_LOW_HIGH, REG_LUT_ADDRESS,
                                     REG_LUT_DATA_HIGH};
    uint16_t words[4];
    for (int i = 0; i < 4; ++i) {
        rc = mdio_read(nic, SWITCH_PHY, order[i], &words[i]);
        if (rc != 0)
            return rc;
    }
    entry->low = ((uint32_t)words[1] << 16) | words[0];
    entry->high = ((uint32_t)words[3] << 16) | words[2];
    if (debug)
        printf("0x%08x%08x\n", entry->high, entry->low);
    return 0;
}

static void print_entry(const struct lut_entry* e) {
    printf("src mac: %02x:%02x:%02x:%02x:%02x:%02x physical port: %d ", e->low & 0xFF, (e->low >> 8) & 0xFF,
           (e->low >> 16) & 0xFF, (e->low >> 24) & 0xFF, e->high & 0xFF, (e->high >> 8) & 0xFF,
           (int)((e->high >> 16) & 0xF));
    printf("0x%08x%08x\n", e->high, e->low);
}

static int read_lut_one(const char* nic, unsigned address) {
    struct lut_entry e;
    if (read_entry(nic, address, &e) != 0) {
        perror("error writing register\n");
        return 1;
    }
    printf("0x%08x%08x\n", e.high, e.low);
    return 0;
}

static int read_lut_all(const char* nic) {
    int failed = 0;
    for (unsigned a = 0; a < LUT_ENTRIES; ++a) {
        struct lut_entry e;
        if (read_entry(nic, a, &e) != 0) {
            printf("Error reading entry no %d\n", (int)a);
            failed = 1;
            continue;
        }
        if (e.low != 0) {
            printf("%d ", (int)a);
            print_entry(&e);
        }
    }
    /* A listing with holes in it must not pass for the whole table. */
    return failed ? 1 : 0;
}

static int seek_for_mac(const char* nic, const uint8_t mac[6]) {
    unsigned address = mac[5] + (mac[4] & 3u) * 256u;
    struct lut_entry e;
    if (read_entry(nic, address, &e) != 0) {
        puts("-1");
        return 255;
    }
    uint32_t low =
        (uint32_t)mac[0] | ((uint32_t)mac[1] << 8) | ((uint32_t)mac[2] << 16) | ((uint32_t)mac[3] << 24);
    if (e.low != low)
        return 254;
    return (int)((e.high >> 16) & 0xF);
}

static int phy_status(const char* nic) {
    for (int phy = 0; phy < STATUS_PHYS; ++phy) {
        uint16_t control, status;
        if (mdio_read(nic, (uint16_t)phy, 0, &control) != 0 ||
            mdio_read(nic, (uint16_t)phy, 1, &status) != 0) {
            perror("error performing operation\n");
            return 1;
        }
        printf("PHY %d: Autoneg: %s\t speed: %d\t duplex: %s\t link detected: %s\n", phy,
               (control & 0x1000) ? "enabled " : "disabled", (control & 0x2000) ? 100 : 10,
               (control & 0x0100) ? "full" : "half", (status & 0x0004) ? "yes" : "no ");
    }
    return 0;
}

int main(int argc, char** argv) {
    int oper = OP_NONE;
    const char* nic = NULL;
    uint16_t phyid = 0xFFFF;
    unsigned entry_address = 0;
    uint8_t mac[6];
    int have_mac = 0;
    int malformed = 0;
    long n;

    for (;;) {
        /* getopt answers '?' both for -? and for an option it refuses; only a refusal sets
         * optopt. */
        optopt = 0;
        int c = getopt(argc, argv, "o:n:p:i:m:h?V");
        if (c == -1)
            break;
        switch (c) {
            case 'o':
                oper = operation(optarg);
                break;
            case 'n':
                nic = optarg;
                break;
            case 'p':
                if (parse_hex(optarg, &n))
                    phyid = (uint16_t)(n & 0x1F);
                else
                    malformed = 1;
                break;
            case 'i':
                if (parse_hex_range(optarg, 0, LUT_ENTRIES - 1, &n))
                    entry_address = (unsigned)n;
                else
                    malformed = 1;
                break;
            case 'm':
                if (!parse_mac(optarg, mac)) {
                    printf("invalid MAC address '%s': expected six hex numbers as xx:xx:xx:xx:xx:xx\n",
                           optarg);
                    return 1;
                }
                have_mac = 1;
                break;
            case 'V':
                debug = 1;
                break;
            case '?':
                if (optopt != 0)
                    unrecognized();
                usage(argv[0]);
                return 0;
            case 'h':
                usage(argv[0]);
                return 0;
            default:
                unrecognized();
        }
    }

    if (oper == OP_NONE || nic == NULL || malformed || (oper == OP_SEEK_FOR_MAC && !have_mac)) {
        puts("one of the arguments is invalid");
        return 1;
    }

    if (debug)
        printf("DBG oper: %d nic: %s phyid: 0x%04x \n", oper, nic, phyid);

    switch (oper) {
        case OP_READ_LUT_ONE:
            return read_lut_one(nic, entry_address);
        case OP_READ_LUT_ALL:
            return read_lut_all(nic);
        case OP_SEEK_FOR_MAC:
            return seek_for_mac(nic, mac);
        case OP_PHY_STATUS:
            return phy_status(nic);
        case OP_VLAN_STATUS:
            return 0;
    }
    return 1;
}

#include "phyio.h"

#include <errno.h>
#include <linux/if.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static const char error_text[] = " error reading register\n";

static int fail(int err) {
    errno = err;
    perror(error_text);
    errno = err;
    return -1;
}

static int mii_request(const char* interface, unsigned long request, uint16_t phy, uint16_t reg,
                       uint16_t val_in, uint16_t* val_out) {
    if (interface == NULL)
        return fail(EINVAL);
    /* The kernel cuts the name to the field and would then address whichever interface carries
     * the shortened name: refuse instead of touching a register of the wrong device. */
    size_t len = strnlen(interface, IFNAMSIZ);
    if (len >= IFNAMSIZ)
        return fail(ENAMETOOLONG);

    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, interface, len);
    struct mii_ioctl_data* mii = (struct mii_ioctl_data*)&ifr.ifr_ifru;
    mii->phy_id = phy;
    mii->reg_num = reg;
    mii->val_in = val_in;
    mii->val_out = 0;

    /* A failed socket() needs no check of its own: the ioctl on -1 fails with EBADF. */
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int rc = ioctl(fd, request, &ifr);
    int err = errno;
    if (fd >= 0)
        close(fd);
    if (rc < 0)
        return fail(err);
    if (val_out != NULL)
        *val_out = mii->val_out;
    return 0;
}

int mdio_read(const char* interface, uint16_t phy, uint16_t reg, uint16_t* value) {
    if (value == NULL)
        return fail(EINVAL);
    return mii_request(interface, SIOCGMIIREG, phy, reg, 0, value);
}

int mdio_write(const char* interface, uint16_t phy, uint16_t reg, uint16_t value) {
    return mii_request(interface, SIOCSMIIREG, phy, reg, value, NULL);
}

int set_bit(const char* interface, uint16_t phy, uint16_t reg, uint16_t mask) {
    uint16_t value;
    int rc = mdio_read(interface, phy, reg, &value);
    if (rc != 0)
        return rc;
    return mdio_write(interface, phy, reg, (uint16_t)(value | mask));
}

int clear_bit(const char* interface, uint16_t phy, uint16_t reg, uint16_t mask) {
    uint16_t value;
    int rc = mdio_read(interface, phy, reg, &value);
    if (rc != 0)
        return rc;
    return mdio_write(interface, phy, reg, (uint16_t)(value & ~mask));
}

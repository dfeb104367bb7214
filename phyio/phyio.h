/* MII register access through the Linux MII ioctls of a network interface.
 *
 * Every function returns 0 on success and -1 on failure, after printing the
 * failure with perror(3). No state is kept between calls. */
#ifndef PHYIO_H
#define PHYIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PHYIO_BUILD)
#define PHYIO_API __attribute__((visibility("default")))
#else
#define PHYIO_API
#endif

/* Reads register reg of PHY phy behind interface; stores it in *value only on success. */
PHYIO_API int mdio_read(const char* interface, uint16_t phy, uint16_t reg, uint16_t* value);
/* Writes value to register reg of PHY phy behind interface. */
PHYIO_API int mdio_write(const char* interface, uint16_t phy, uint16_t reg, uint16_t value);
/* Reads the register, ORs mask in and writes it back; nothing is written if the read fails. */
PHYIO_API int set_bit(const char* interface, uint16_t phy, uint16_t reg, uint16_t mask);
/* Reads the register, clears the bits of mask and writes it back; nothing is written if the read
 * fails. */
PHYIO_API int clear_bit(const char* interface, uint16_t phy, uint16_t reg, uint16_t mask);

#ifdef __cplusplus
}
#endif

#endif

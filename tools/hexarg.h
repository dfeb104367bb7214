/* Command-line number parsing shared by the bench tools. */
#ifndef TOOLS_HEXARG_H
#define TOOLS_HEXARG_H

#include <errno.h>
#include <stdlib.h>

/* Parses text as a hexadecimal number (an 0x prefix is accepted). Returns 0 and leaves *value
 * alone when the text is not a number in full: a mistyped register must never turn into register
 * 0 of the device. */
static inline int parse_hex(const char* text, long* value) {
    char* end;
    errno = 0;
    long v = strtol(text, &end, 16);
    if (end == text || *end != '\0' || errno != 0)
        return 0;
    *value = v;
    return 1;
}

/* parse_hex limited to [low, high]. */
static inline int parse_hex_range(const char* text, long low, long high, long* value) {
    long v;
    if (!parse_hex(text, &v) || v < low || v > high)
        return 0;
    *value = v;
    return 1;
}

#endif

/* phyreg: reads, writes, sets or clears bits of one MII register of a PHY or switch chip. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hexarg.h"
#include "phyio.h"

enum { OP_NONE = 0, OP_READ = 1, OP_WRITE = 2, OP_SET = 3, OP_CLEAR = 4 };

static void usage(const char* prog) {
    printf(
        "%s: simple app that allows talking with PHY IC and Realtek 830x switches\n"
        "Usage:\n"
        "\t%s -o operation -p phyid -r register -v value\n"
        "\t\t-o - operation\n"
        "\t\t\t- read  - read register\n"
        "\t\t\t- write - write to register\n"
        "\t\t\t- set   - set bit in register (given by mask)\n"
        "\t\t\t- clean - clear bit in register (given by mask)\n"
        "\t\t-n - network interface controller i.e. eth0\n"
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
    if (strcmp(word, "read") == 0)
        return OP_READ;
    if (strcmp(word, "write") == 0)
        return OP_WRITE;
    if (strcmp(word, "set") == 0)
        return OP_SET;
    if (strcmp(word, "clear") == 0)
        return OP_CLEAR;
    return OP_NONE;
}

int main(int argc, char** argv) {
    int oper = OP_NONE;
    const char* nic = NULL;
    uint16_t phyid = 0xFFFF;
    uint16_t reg = 0xFFFF;
    uint16_t val = 0xFFFF;
    int debug = 0;
    int malformed = 0;
    long n;

    for (;;) {
        /* getopt answers '?' both for -? and for an option it refuses; only a refusal sets
         * optopt. */
        optopt = 0;
        int c = getopt(argc, argv, "n:p:r:v:o:h?V");
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
            case 'r':
                if (parse_hex_range(optarg, 0, 0xFFFF, &n))
                    reg = (uint16_t)n;
                else
                    malformed = 1;
                break;
            case 'v':
                if (parse_hex_range(optarg, 0, 0xFFFF, &n))
                    val = (uint16_t)n;
                else
                    malformed = 1;
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

    if (oper == OP_NONE || nic == NULL || phyid == 0xFFFF || reg == 0xFFFF || malformed) {
        puts("one of the arguments is invalid");
        return 1;
    }

    if (debug)
        printf("DBG oper: %d nic: %s phyid: 0x%04x reg: 0x%04x val: 0x%04x\n", oper, nic, phyid, reg, val);

    int rc = 0;
    switch (oper) {
        case OP_READ:
            rc = mdio_read(nic, phyid, reg, &val);
            if (rc != 0) {
                perror("error reading register\n");
                return rc;
            }
            printf("0x%04x\n", val);
            break;
        case OP_WRITE:
            rc = mdio_write(nic, phyid, reg, val);
            if (rc != 0)
                perror("error writing register\n");
            break;
        case OP_SET:
            rc = set_bit(nic, phyid, reg, val);
            if (rc != 0)
                perror("error setting bit\n");
            break;
        case OP_CLEAR:
            rc = clear_bit(nic, phyid, reg, val);
            if (rc != 0)
                perror("error setting bit\n");
            break;
    }
    return rc;
}

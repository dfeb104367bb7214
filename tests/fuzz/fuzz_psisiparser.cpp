// Section assembly on arbitrary TS packets. The first byte picks how the rest is used:
// even: 188-byte packets exactly as given (sync byte forced), spread over the PIDs the
// demultiplexer parses; odd: a list of sections (two length bytes, then the bytes) whose CRC the
// harness fixes, packetised with the pointer fields and counters the data asks for, so that
// intact sections of any content reach the decoders and the demultiplexer.
#include <glog/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dvb/inputmux.h"
#include "dvb/psisi/psisi_utils.h"
#include "dvb/psisiparser.h"

namespace {

constexpr int PIDS[] = {0x0000, 0x0010, 0x0011, 0x0100};

void feed(PsisiParser& parser, unsigned char* packet) {
    TsPacket p;
    p.data = packet;
    parser.input(&p);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every log line is still formatted, none is written.
    FLAGS_minloglevel = google::GLOG_FATAL;
    FLAGS_v = 1;
    psisi_utils::generate_crc_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    InputMux mux(1);
    PsisiParser parsers[] = {{PIDS[0], &mux}, {PIDS[1], &mux}, {PIDS[2], &mux}, {PIDS[3], &mux}};
    const bool sections = data[0] & 1;
    ++data;
    --size;
    unsigned char packet[188];
    if (!sections) {
        for (size_t at = 0; at + 188 <= size; at += 188) {
            memcpy(packet, data + at, 188);
            packet[0] = 0x47;
            feed(parsers[(at / 188) % 4], packet);
        }
        return 0;
    }
    unsigned cc[4] = {0, 0, 0, 0};
    size_t at = 0;
    while (at + 3 <= size) {
        // Control byte: which parser, the pointer_field and whether a counter is skipped.
        const unsigned control = data[at];
        const size_t length = (size_t(data[at + 1]) << 8 | data[at + 2]) % 4097;
        at += 3;
        if (length > size - at) {
            break;
        }
        std::vector<unsigned char> section(data + at, data + at + length);
        at += length;
        if (section.size() >= 4) {
            const uint32_t crc =
                psisi_utils::crc32(section.data(), static_cast<unsigned>(section.size() - 4));
            for (int i = 0; i < 4; ++i) {
                section[section.size() - 4 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
            }
        }
        const unsigned which = control & 3;
        const unsigned pointer = (control >> 2) & 0x0F;
        if (control & 0x80) {
            cc[which] = (cc[which] + 1) & 0x0F;
        }
        size_t done = 0;
        bool first = true;
        while (first || done < section.size()) {
            memset(packet, 0xFF, sizeof(packet));
            packet[0] = 0x47;
            packet[1] = static_cast<unsigned char>((first ? 0x40 : 0) | (PIDS[which] >> 8));
            packet[2] = static_cast<unsigned char>(PIDS[which]);
            packet[3] = static_cast<unsigned char>(0x10 | cc[which]);
            cc[which] = (cc[which] + 1) & 0x0F;
            size_t pos = 4;
            if (first) {
                packet[pos++] = static_cast<unsigned char>(pointer);
                pos += pointer;  // stuffing before the section
            }
            const size_t n = section.size() - done < 188 - pos ? section.size() - done : 188 - pos;
            if (n > 0) {
                memcpy(packet + pos, section.data() + done, n);
            }
            done += n;
            first = false;
            feed(parsers[which], packet);
        }
    }
    return 0;
}

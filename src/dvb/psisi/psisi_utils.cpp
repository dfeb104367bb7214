#include "psisi_utils.h"

#include <errno.h>
#include <glog/logging.h>
#include <iconv.h>

#include <cstring>
#include <vector>

#include "utils.h"

namespace psisi_utils {

namespace {

uint32_t crc_table[256];

const TextEncoding encodings[] = {
    {{0}, 0, "ISO6937"},
    {{0x01}, 1, "ISO-8859-5"},
    {{0x02}, 1, "ISO-8859-6"},
    {{0x03}, 1, "ISO-8859-7"},
    {{0x04}, 1, "ISO-8859-8"},
    {{0x05}, 1, "ISO-8859-9"},
    {{0x06}, 1, "ISO-8859-10"},
    {{0x07}, 1, "ISO-8859-11"},
    {{0x09}, 1, "ISO-8859-13"},
    {{0x0A}, 1, "ISO-8859-14"},
    {{0x0B}, 1, "ISO-8859-15"},
    // DVB's two-byte texts are big-endian; plain "UTF-16" would follow the host's byte order.
    {{0x11}, 1, "UTF-16BE"},
    {{0x12}, 1, "KSC5601-1987"},
    {{0x13}, 1, "GB2312"},
    {{0x14}, 1, "BIG-5"},
    {{0x15}, 1, "UTF-8"},
    {{0x10, 0x00, 0x01}, 3, "ISO-8859-1"},
    {{0x10, 0x00, 0x02}, 3, "ISO-8859-2"},
    {{0x10, 0x00, 0x03}, 3, "ISO-8859-3"},
    {{0x10, 0x00, 0x04}, 3, "ISO-8859-4"},
    {{0x10, 0x00, 0x05}, 3, "ISO-8859-5"},
    {{0x10, 0x00, 0x06}, 3, "ISO-8859-6"},
    {{0x10, 0x00, 0x07}, 3, "ISO-8859-7"},
    {{0x10, 0x00, 0x08}, 3, "ISO-8859-8"},
    {{0x10, 0x00, 0x09}, 3, "ISO-8859-9"},
    {{0x10, 0x00, 0x0A}, 3, "ISO-8859-10"},
    {{0x10, 0x00, 0x0B}, 3, "ISO-8859-11"},
    {{0x10, 0x00, 0x0D}, 3, "ISO-8859-13"},
    {{0x10, 0x00, 0x0E}, 3, "ISO-8859-14"},
    {{0x10, 0x00, 0x0F}, 3, "ISO-8859-15"},
};

// Closes the conversion on every way out of toUtf8.
struct IconvHandle {
    iconv_t cd;
    ~IconvHandle() { iconv_close(cd); }
};

}  // namespace

void generate_crc_table() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        }
        crc_table[i] = c;
    }
}

uint32_t crc32(const unsigned char* data, unsigned len) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned i = 0; i < len; ++i) {
        crc = (crc << 8) ^ crc_table[(crc >> 24) ^ data[i]];
    }
    return crc;
}

const TextEncoding& detectEncoding(const unsigned char* data, unsigned len) {
    if (len == 0 || data[0] > 0x1F) {
        return encodings[0];
    }
    for (unsigned i = 1; i < sizeof(encodings) / sizeof(encodings[0]); ++i) {
        const TextEncoding& e = encodings[i];
        if (len >= e.prefix_length && memcmp(data, e.prefix, e.prefix_length) == 0) {
            return e;
        }
    }
    return encodings[0];
}

std::string toUtf8(const unsigned char* data, unsigned len) {
    const TextEncoding& enc = detectEncoding(data, len);
    iconv_t cd = iconv_open("UTF-8", enc.charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        VLOG(1) << utils::string_format("iconv_open(%s, %s)", "UTF-8", enc.charset);
        throw ConversionError(utils::string_format("Unsupported encoding %s", enc.charset));
    }
    IconvHandle handle{cd};

    std::vector<char> out(3 * static_cast<size_t>(len) + 1, 0);
    char* in_p = const_cast<char*>(reinterpret_cast<const char*>(data + enc.prefix_length));
    size_t in_left = len - enc.prefix_length;
    char* out_p = out.data();
    // One byte stays zero so that the result always ends inside the buffer.
    size_t out_left = out.size() - 1;
    if (iconv(cd, &in_p, &in_left, &out_p, &out_left) == static_cast<size_t>(-1)) {
        int err = errno;
        VLOG(1) << utils::string_format("iconv(): %d: %s", err, strerror(err));
        VLOG(1) << "encoding " << enc.charset << ", raw data: \n" << utils::to_hex(data, len, ' ');
        throw ConversionError(utils::string_format("iconv(): %d: %s", err, strerror(err)));
    }
    return std::string(out.data());
}

void mjd_to_tm(unsigned mjd, struct tm* t) {
    long l = static_cast<long>(mjd) + 2468570;
    long n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    long i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    long j = 80 * l / 2447;
    long day = l - 2447 * j / 80;
    long k = j / 11;
    long month = j + 2 - 12 * k;
    long year = 100 * (n - 49) + i + k;
    if (year <= 0) {
        --year;
    }
    t->tm_mday = static_cast<int16_t>(day);
    t->tm_mon = static_cast<int16_t>(month);
    t->tm_year = static_cast<int16_t>(year);
}

void utc_to_tm(unsigned bcd, struct tm* t) {
    t->tm_hour = 10 * ((bcd >> 20) & 3) + ((bcd >> 16) & 0xF);
    t->tm_min = 10 * ((bcd >> 12) & 7) + ((bcd >> 8) & 0xF);
    t->tm_sec = 10 * ((bcd >> 4) & 7) + (bcd & 0xF);
}

}  // namespace psisi_utils

// DVB text conversion on arbitrary bytes: either valid UTF-8 without zero characters comes out or
// the conversion is refused.
#include <glog/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dvb/psisi/psisi_utils.h"

namespace {

bool validUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every log line is still formatted, none is written.
    FLAGS_minloglevel = google::GLOG_FATAL;
    FLAGS_v = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 255) {
        return 0;
    }
    try {
        const std::string text = psisi_utils::toUtf8(data, static_cast<unsigned>(size));
        if (text.find('\0') != std::string::npos || !validUtf8(text)) {
            abort();
        }
    } catch (const psisi_utils::ConversionError&) {
    }
    return 0;
}

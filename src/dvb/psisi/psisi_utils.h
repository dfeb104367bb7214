#pragma once

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

namespace psisi_utils {

// Fills the CRC-32 table; must run once before any section is assembled or generated.
void generate_crc_table();
// CRC-32/MPEG-2 (polynomial 0x04C11DB7, MSB first, initial 0xFFFFFFFF, no final inversion).
// Over a whole section including its CRC field the result is 0 exactly when it is intact.
uint32_t crc32(const unsigned char* data, unsigned len);

// A DVB text character table: the selector bytes that start a text and the iconv name of its
// character set.
struct TextEncoding {
    unsigned char prefix[4];
    unsigned prefix_length;
    const char* charset;
};

class ConversionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The character table a DVB text is written in, from its first bytes; texts without a known
// selector are ISO 6937 and keep all their bytes.
const TextEncoding& detectEncoding(const unsigned char* data, unsigned len);
// The text in UTF-8, cut at the first zero character. Throws ConversionError.
std::string toUtf8(const unsigned char* data, unsigned len);

// Date from a Modified Julian Date and time from six BCD digits hhmmss, in the calendar
// convention of utils::mkgmtime (full year, months from 1).
void mjd_to_tm(unsigned mjd, struct tm* t);
void utc_to_tm(unsigned bcd, struct tm* t);

}  // namespace psisi_utils

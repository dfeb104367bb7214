#include "dvb/psisi/psisi_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "psisi_test_support.h"
#include "utils.h"

namespace {

using psisi_test::Bytes;

TEST(DvbText, CharacterTablesBySelector) {
    struct Case {
        Bytes text;
        const char* charset;
        unsigned prefix;
        const char* utf8;
    };
    const Case cases[] = {
        {{'N', 'e', 't'}, "ISO6937", 0, "Net"},
        {{}, "ISO6937", 0, ""},
        // ISO 6937: a non-spacing diacritic precedes its letter.
        {{'C', 'a', 'f', 0xC2, 'e'}, "ISO6937", 0, "Caf\xC3\xA9"},
        {{0x01, 0xBF, 0xE1}, "ISO-8859-5", 1, "\xD0\x9F\xD1\x81"},
        {{0x02, 0xC7}, "ISO-8859-6", 1, "\xD8\xA7"},
        {{0x03, 0xC1}, "ISO-8859-7", 1, "\xCE\x91"},
        {{0x04, 0xE0}, "ISO-8859-8", 1, "\xD7\x90"},
        {{0x05, 0xDD, 0xFE}, "ISO-8859-9", 1, "\xC4\xB0\xC5\x9F"},
        {{0x06, 0xA1}, "ISO-8859-10", 1, "\xC4\x84"},
        {{0x07, 0xA1}, "ISO-8859-11", 1, "\xE0\xB8\x81"},
        {{0x09, 0xC0}, "ISO-8859-13", 1, "\xC4\x84"},
        {{0x0A, 0xA1}, "ISO-8859-14", 1, "\xE1\xB8\x82"},
        {{0x0B, 0xA4}, "ISO-8859-15", 1, "\xE2\x82\xAC"},
        // Big-endian whatever the host's byte order.
        {{0x11, 0x04, 0x1F, 0x00, 'x'}, "UTF-16BE", 1, "\xD0\x9Fx"},
        {{0x13, 0xD6, 0xD0}, "GB2312", 1, "\xE4\xB8\xAD"},
        {{0x14, 0xA4, 0xA4}, "BIG-5", 1, "\xE4\xB8\xAD"},
        {{0x15, 0xC3, 0x9C, 'x'}, "UTF-8", 1, "\xC3\x9Cx"},
        {{0x10, 0x00, 0x01, 0xE9}, "ISO-8859-1", 3, "\xC3\xA9"},
        {{0x10, 0x00, 0x02, 0xA3, 'o'}, "ISO-8859-2", 3, "\xC5\x81o"},
        {{0x10, 0x00, 0x0B, 0xA1}, "ISO-8859-11", 3, "\xE0\xB8\x81"},
        {{0x10, 0x00, 0x0F, 0xA4}, "ISO-8859-15", 3, "\xE2\x82\xAC"},
        // No record: the byte stays part of an ISO 6937 text.
        {{0x08, 'A'},
         "ISO6937",
         0,
         "\x08"
         "A"},
        {{0x10, 0x00, 0x0C, 'A'}, "ISO6937", 0, "\x10"},
        {{0x10, 0x00}, "ISO6937", 0, "\x10"},
        // A zero character ends the text.
        {{'A', 0x00, 'B'}, "ISO6937", 0, "A"},
        {{0x15}, "UTF-8", 1, ""},
    };
    for (const Case& c : cases) {
        const psisi_utils::TextEncoding& e =
            psisi_utils::detectEncoding(c.text.data(), static_cast<unsigned>(c.text.size()));
        const std::string shown = utils::to_hex(c.text.data(), static_cast<unsigned>(c.text.size()), ' ');
        EXPECT_STREQ(e.charset, c.charset) << shown;
        EXPECT_EQ(e.prefix_length, c.prefix) << shown;
        EXPECT_EQ(psisi_utils::toUtf8(c.text.data(), static_cast<unsigned>(c.text.size())),
                  std::string(c.utf8))
            << shown;
    }
}

TEST(DvbText, ConversionErrors) {
    const Bytes bad_utf8 = {0x15, 0xC3, 0x28};
    try {
        psisi_utils::toUtf8(bad_utf8.data(), 3);
        FAIL() << "no error";
    } catch (const psisi_utils::ConversionError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("iconv(): ", 0), 0u) << e.what();
    }
    const Bytes cut_utf16 = {0x11, 0x04};
    EXPECT_THROW(psisi_utils::toUtf8(cut_utf16.data(), 2), psisi_utils::ConversionError);
    // The C library here has no character set of that name.
    const Bytes korean = {0x12, 0xB0, 0xA1};
    try {
        psisi_utils::toUtf8(korean.data(), 3);
        FAIL() << "no error";
    } catch (const psisi_utils::ConversionError& e) {
        EXPECT_STREQ(e.what(), "Unsupported encoding KSC5601-1987");
    }
}

TEST(DvbTime, ModifiedJulianDates) {
    struct Case {
        unsigned mjd;
        int year, month, day;
    };
    const Case cases[] = {
        {0xC079, 1993, 10, 13}, {0, 1858, 11, 17},     {65535, 2038, 4, 22}, {51544, 2000, 1, 1},
        {51603, 2000, 2, 29},   {60309, 2023, 12, 31}, {60310, 2024, 1, 1},
    };
    for (const Case& c : cases) {
        struct tm t = {};
        psisi_utils::mjd_to_tm(c.mjd, &t);
        EXPECT_EQ(t.tm_year, c.year) << c.mjd;
        EXPECT_EQ(t.tm_mon, c.month) << c.mjd;
        EXPECT_EQ(t.tm_mday, c.day) << c.mjd;
    }
}

TEST(DvbTime, BcdTimes) {
    struct Case {
        unsigned bcd;
        int h, m, s;
    };
    const Case cases[] = {
        {0x235959, 23, 59, 59}, {0x000000, 0, 0, 0}, {0x124500, 12, 45, 0}, {0x071903, 7, 19, 3}};
    for (const Case& c : cases) {
        struct tm t = {};
        psisi_utils::utc_to_tm(c.bcd, &t);
        EXPECT_EQ(t.tm_hour, c.h) << std::hex << c.bcd;
        EXPECT_EQ(t.tm_min, c.m) << std::hex << c.bcd;
        EXPECT_EQ(t.tm_sec, c.s) << std::hex << c.bcd;
    }
}

}  // namespace

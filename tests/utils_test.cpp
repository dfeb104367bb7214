#include "utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(StringFormat, FormatsWholeOutput) {
    EXPECT_EQ(utils::string_format(std::string()), "");
    EXPECT_EQ(utils::string_format(std::string("%s-%d"), "a", 3), "a-3");
    EXPECT_EQ(utils::string_format("%d", 7), "7");
    // Output far longer than twice the format forces the buffer to grow.
    std::string long_arg(5000, 'x');
    EXPECT_EQ(utils::string_format("<%s>", long_arg.c_str()), "<" + long_arg + ">");
    EXPECT_EQ(utils::string_format("(%u:%d)", 5u, -1), "(5:-1)");
    // Exactly at the boundary: 2 * len("%s") = 4 bytes of buffer, output of 4 needs one more.
    EXPECT_EQ(utils::string_format("%s", "abcd"), "abcd");
}

std::vector<unsigned char> bytes(unsigned n) {
    std::vector<unsigned char> v(n);
    for (unsigned i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(i * 17);
    return v;
}

TEST(ToHex, LinesOfSixteen) {
    struct Case {
        unsigned n;
        char sep;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {0, ' ', ""},
        {1, ':', "00"},
        {3, ' ', "00 11 22"},
        {16, ':', "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff"},
        {20, ':', "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff\n10:21:32:43"},
        {32, ' ',
         "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff\n10 21 32 43 54 65 76 87 98 a9 ba cb dc ed fe 0f"},
    };
    for (const auto& c : cases) {
        auto v = bytes(c.n);
        EXPECT_EQ(utils::to_hex(v.data(), c.n, c.sep), c.expected) << c.n << " bytes";
        EXPECT_EQ(utils::to_hex(v, c.sep), c.expected) << c.n << " bytes, vector form";
    }
    EXPECT_EQ(utils::to_hex(bytes(16), ' ').size(), 47u);
}

TEST(Calendar, LeapYears) {
    EXPECT_TRUE(utils::IsLeapYear(2000));
    EXPECT_TRUE(utils::IsLeapYear(2024));
    EXPECT_FALSE(utils::IsLeapYear(1900));
    EXPECT_FALSE(utils::IsLeapYear(2100));
    EXPECT_FALSE(utils::IsLeapYear(2023));
}

struct tm civil(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
    struct tm t = {};
    t.tm_year = year;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

TEST(Calendar, MkGmTime) {
    struct Case {
        struct tm t;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {civil(1970, 1, 1), 0},
        {civil(1970, 1, 1, 0, 0, 1), 1},
        {civil(1970, 1, 2), 86400},
        {civil(1993, 10, 13, 12, 45, 0), 750516300},
        {civil(2000, 3, 1), 951868800},  // February 2000 has 29 days
        {civil(2019, 6, 30, 23, 59, 59), 1561939199},
        {civil(2038, 1, 19, 3, 14, 7), 2147483647},
        {civil(1969, 1, 1), 0},  // years before 1970 add nothing
        {civil(1970, 0, 1), 0},  // month 0 adds nothing
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utils::mkgmtime(&c.t), c.expected)
            << c.t.tm_year << "-" << c.t.tm_mon << "-" << c.t.tm_mday;
    }
    // 2100 is not a leap year: 1 March 2100 is 28 days after 1 February 2100.
    struct tm feb = civil(2100, 2, 1), mar = civil(2100, 3, 1);
    EXPECT_EQ(static_cast<uint32_t>(utils::mkgmtime(&mar)) - static_cast<uint32_t>(utils::mkgmtime(&feb)),
              28u * 86400u);
}

TEST(Trim, WhiteSpace) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""}, {"   ", ""}, {" a ", "a"}, {"\t a b \n", "a b"}, {"ab", "ab"},
    };
    for (const auto& [in, out] : cases) {
        std::string s = in;
        EXPECT_EQ(utils::trim(s), out);
        EXPECT_EQ(s, out);
    }
    std::string l = "  x  ", r = "  x  ";
    EXPECT_EQ(utils::ltrim(l), "x  ");
    EXPECT_EQ(utils::rtrim(r), "  x");
}

TEST(Split, Items) {
    using V = std::vector<std::string>;
    const std::vector<std::pair<std::string, V>> cases = {
        {"a, b ,,c", V{"a", "b", "", "c"}},
        {" eth1 , eth2 ", V{"eth1", "eth2"}},
        {"eth1,", V{"eth1"}},
        {",eth1", V{"", "eth1"}},
        {"", V{}},
        {"eth1", V{"eth1"}},
    };
    for (const auto& [text, items] : cases) {
        EXPECT_EQ(utils::split(text, ','), items) << '"' << text << '"';
    }
    V out{"kept"};
    utils::split("x,y", ',', out);
    EXPECT_EQ(out, (V{"kept", "x", "y"}));
}

}  // namespace

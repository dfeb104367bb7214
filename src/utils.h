#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

namespace utils {

// printf-style formatting into a new string of whatever length the output needs.
std::string string_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The same with a format held in a string (the format cannot be checked at compile time).
template <typename S, typename... Args,
          typename = std::enable_if_t<std::is_same_v<std::decay_t<S>, std::string>>>
std::string string_format(const S& fmt, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    return string_format(fmt.c_str(), args...);
#pragma GCC diagnostic pop
}

// Hex dump, 16 bytes per line, each byte as two lower-case digits followed by `sep`;
// no separator at the end of a line and no trailing newline.
std::string to_hex(const unsigned char* data, unsigned len, char sep);
std::string to_hex(std::vector<unsigned char> data, char sep);

bool IsLeapYear(int16_t year);

// Seconds since the epoch of a UTC broken-down time in this program's calendar convention:
// tm_year is the full year (e.g. 2019) and tm_mon counts from 1. Only sec, min, hour, mday,
// mon and year are read.
int32_t mkgmtime(const struct tm* t);

std::string& rtrim(std::string& s);
std::string& ltrim(std::string& s);
std::string& trim(std::string& s);

// Splits at `delim` (getline semantics: no empty item after a trailing delimiter) and
// appends every item, trimmed, to `out`.
std::vector<std::string>& split(const std::string& text, char delim, std::vector<std::string>& out);
std::vector<std::string> split(const std::string& text, char delim);

// Raw monotonic clock, unaffected by wall-clock adjustments.
uint64_t now_us();
uint64_t now_ns();

// Writes the build-information report to standard output.
void printVersion();

}  // namespace utils

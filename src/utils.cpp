#include "utils.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "buildinfo.h"

namespace utils {

std::string string_format(const char* fmt, ...) {
    std::vector<char> buf(strlen(fmt) * 2);
    for (;;) {
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf.data(), buf.size(), fmt, ap);
        va_end(ap);
        long size = static_cast<long>(buf.size());
        if (n >= 0 && n < size) {
            return std::string(buf.data(), n);
        }
        // A negative result (formatting error) doubles the buffer; otherwise grow to fit.
        buf.resize(buf.size() + std::labs(static_cast<long>(n) - size + 1));
    }
}

std::string to_hex(const unsigned char* data, unsigned len, char sep) {
    std::string out;
    if (len == 0) {
        return out;
    }
    out.reserve(len * 3 + len / 16 + 1);
    char item[4];
    for (unsigned line = 0; line < len / 16 + 1; ++line) {
        for (unsigned i = line * 16; i < len && i < (line + 1) * 16; ++i) {
            snprintf(item, sizeof(item), "%02x%c", data[i], sep);
            out.append(item, 3);
        }
        // Drop the separator after the last byte of the line (or the newline of the
        // previous line when this pass added nothing).
        out.pop_back();
        out.push_back('\n');
    }
    out.pop_back();
    return out;
}

std::string to_hex(std::vector<unsigned char> data, char sep) {
    return to_hex(data.data(), static_cast<unsigned>(data.size()), sep);
}

bool IsLeapYear(int16_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int32_t mkgmtime(const struct tm* t) {
    static const int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int16_t year = static_cast<int16_t>(t->tm_year);
    int32_t days = 0;
    for (int16_t y = 1970; y < year; ++y) {
        days += IsLeapYear(y) ? 366 : 365;
    }
    if (t->tm_mon >= 2) {
        days += 31;
        for (int m = 2; m < t->tm_mon && m <= 12; ++m) {
            days += month_days[m - 1];
            if (m == 2 && IsLeapYear(year)) {
                days += 1;
            }
        }
    }
    // Unsigned arithmetic wraps like the target's 32-bit time_t without undefined behaviour.
    uint32_t r = static_cast<uint32_t>(days) * 86400u + static_cast<uint32_t>(t->tm_mday - 1) * 86400u +
                 static_cast<uint32_t>(t->tm_hour) * 3600u + static_cast<uint32_t>(t->tm_min) * 60u +
                 static_cast<uint32_t>(t->tm_sec);
    return static_cast<int32_t>(r);
}

std::string& rtrim(std::string& s) {
    size_t n = s.size();
    while (n > 0 && std::isspace(static_cast<unsigned char>(s[n - 1]))) {
        --n;
    }
    s.erase(n);
    return s;
}

std::string& ltrim(std::string& s) {
    size_t n = 0;
    while (n < s.size() && std::isspace(static_cast<unsigned char>(s[n]))) {
        ++n;
    }
    s.erase(0, n);
    return s;
}

std::string& trim(std::string& s) {
    return ltrim(rtrim(s));
}

std::vector<std::string>& split(const std::string& text, char delim, std::vector<std::string>& out) {
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, delim)) {
        out.push_back(trim(item));
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char delim) {
    std::vector<std::string> out;
    split(text, delim, out);
    return out;
}

static struct timespec monotonic_raw() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return ts;
}

uint64_t now_us() {
    struct timespec ts = monotonic_raw();
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t now_ns() {
    struct timespec ts = monotonic_raw();
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void printVersion() {
    printf("Version %s\n\n", buildinfo::version);
    printf("  repository: %s\n", buildinfo::repository);
    printf("   changeset: %s\n", buildinfo::changeset);
    printf("last changed: %s\n", buildinfo::last_changed);
    printf("          by: %s\n\n", buildinfo::author);
    printf("Release built %s using GCC %d.%d.%d\n", buildinfo::build_date, __GNUC__, __GNUC_MINOR__,
           __GNUC_PATCHLEVEL__);
    printf("at %s by %s\n", buildinfo::build_host, buildinfo::build_user);
}

}  // namespace utils

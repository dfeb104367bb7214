// Helpers for the PSI/SI tests: building sections and TS packets, capturing log lines.
#pragma once

#include <glog/logging.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "dvb/psisi/psisi_utils.h"
#include "dvb/psisi/sectiondata.h"

#include "orm/attributevalue.h"

// Readable values in test failures.
inline void PrintTo(const AttributeValue& v, std::ostream* os) {
    *os << v.toQuotedString();
}

namespace psisi_test {

using Bytes = std::vector<unsigned char>;

// Appends byte by byte (GCC 12 reports false array bounds for vector::insert of short vectors).
inline void append(Bytes& to, const Bytes& from) {
    to.reserve(to.size() + from.size());
    for (unsigned char c : from) {
        to.push_back(c);
    }
}

// Fills the CRC table once for the whole test program.
inline void initCrc() {
    static std::once_flag once;
    std::call_once(once, [] { psisi_utils::generate_crc_table(); });
}

// A long-form section with the given body after byte 7 and a correct CRC; section_length is
// computed unless given.
inline Bytes longSection(int table_id, int extension, int version, const Bytes& body, int section_number = 0,
                         int last_section_number = 0, int current_next = 1, int section_length = -1) {
    initCrc();
    Bytes s(8 + body.size());
    s[0] = static_cast<unsigned char>(table_id);
    s[3] = static_cast<unsigned char>(extension >> 8);
    s[4] = static_cast<unsigned char>(extension);
    s[5] = static_cast<unsigned char>(0xC0 | (version << 1) | current_next);
    s[6] = static_cast<unsigned char>(section_number);
    s[7] = static_cast<unsigned char>(last_section_number);
    for (size_t i = 0; i < body.size(); ++i) {
        s[8 + i] = body[i];
    }
    const int length = section_length >= 0 ? section_length : static_cast<int>(s.size() + 4 - 3);
    s[1] = static_cast<unsigned char>(0xB0 | ((length >> 8) & 0x0F));
    s[2] = static_cast<unsigned char>(length);
    uint32_t crc = psisi_utils::crc32(s.data(), static_cast<unsigned>(s.size()));
    for (int shift = 24; shift >= 0; shift -= 8) {
        s.push_back(static_cast<unsigned char>(crc >> shift));
    }
    return s;
}

// A complete SectionData holding the bytes, its header decoded as the assembler does it.
inline SectionData sectionData(const unsigned char* data, size_t n) {
    SectionData sd;
    sd.decodeHeader(data, static_cast<unsigned>(n));
    if (n > 0) {
        sd.table_id = data[0];
    }
    // The codecs read `length`; a section cut short is held as it is.
    memcpy(sd.bytes, data, std::min<size_t>(n, SectionData::MAX_SIZE));
    sd.length = static_cast<uint32_t>(std::min<size_t>(n, SectionData::MAX_SIZE));
    return sd;
}
inline SectionData sectionData(const Bytes& b) {
    return sectionData(b.data(), b.size());
}

// The section as TS packets of one PID: pointer_field 0 in the first, 0xFF stuffing in the last.
inline std::vector<Bytes> packetise(const Bytes& section, int pid, int first_cc = 0) {
    std::vector<Bytes> packets;
    size_t at = 0;
    int cc = first_cc;
    while (at < section.size() || packets.empty()) {
        Bytes p(188, 0xFF);
        p[0] = 0x47;
        p[1] = static_cast<unsigned char>(((pid >> 8) & 0x1F) | (at == 0 ? 0x40 : 0));
        p[2] = static_cast<unsigned char>(pid);
        p[3] = static_cast<unsigned char>(0x10 | (cc & 0x0F));
        size_t room = 184, pos = 4;
        if (at == 0) {
            p[4] = 0;
            pos = 5;
            room = 183;
        }
        const size_t n = std::min(room, section.size() - at);
        std::copy(section.begin() + at, section.begin() + at + n, p.begin() + pos);
        at += n;
        cc = (cc + 1) & 0x0F;
        packets.push_back(p);
    }
    return packets;
}

// Records every log line of at least the given severity while it exists.
class LogCapture : public google::LogSink {
  public:
    explicit LogCapture(google::LogSeverity min = google::GLOG_INFO) : min_(min) { google::AddLogSink(this); }
    ~LogCapture() override { google::RemoveLogSink(this); }

    using google::LogSink::send;
    void send(google::LogSeverity severity, const char*, const char*, int, const google::LogMessageTime&,
              const char* message, size_t message_len) override {
        if (severity >= min_) {
            std::lock_guard<std::mutex> g(m_);
            lines_.emplace_back(message, message_len);
        }
    }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    // How many lines contain the text.
    int count(const std::string& text) {
        std::lock_guard<std::mutex> g(m_);
        return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        lines_.clear();
    }

  private:
    google::LogSeverity min_;
    std::mutex m_;
    std::vector<std::string> lines_;
};

}  // namespace psisi_test

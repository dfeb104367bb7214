#pragma once

#include <cstdint>

// One PSI/SI section as raw bytes (table_id first, CRC last) with its decoded header, the fill
// position used while it is assembled and the read position used while it is sent out.
class SectionData {
  public:
    static constexpr unsigned MAX_SIZE = 4096;

    // Starts a new section from its first n bytes: 1 when the header was decoded, 0 when the
    // bytes are too few or section_length is beyond what fits into MAX_SIZE.
    unsigned decodeHeader(const unsigned char* data, unsigned n);
    // Adds section bytes (nothing before a header, nothing beyond the end); returns complete().
    bool append(const unsigned char* data, unsigned n);
    bool complete() const { return expected_length != 0 && length == expected_length; }
    bool checkCrc32() const;
    void appendCrc32();
    unsigned remainingOutput() const { return length - output_index; }
    void advanceOutputIdx(unsigned n);

    uint32_t section_syntax_indicator = 0;
    uint32_t version_number = 0;
    uint32_t table_id = 0;
    uint32_t table_id_extension = 0;
    uint32_t section_length = 0;
    uint32_t section_number = 0;
    uint32_t last_section_number = 0;
    uint32_t current_next_indicator = 0;
    uint32_t expected_length = 0;
    uint32_t length = 0;
    uint32_t output_index = 0;
    unsigned char bytes[MAX_SIZE] = {};
};

// Same table, extension, section, version and applicability; the bytes are not compared.
bool operator==(const SectionData& a, const SectionData& b);
inline bool operator!=(const SectionData& a, const SectionData& b) {
    return !(a == b);
}

#include "sectiondata.h"

#include <cstring>

#include "psisi_utils.h"

unsigned SectionData::decodeHeader(const unsigned char* data, unsigned n) {
    expected_length = 0;
    length = 0;
    // A section restarted in this buffer must not keep the header of the one before.
    section_syntax_indicator = version_number = table_id = table_id_extension = 0;
    section_length = section_number = last_section_number = current_next_indicator = 0;
    if (n < 2) {
        return 0;
    }
    section_syntax_indicator = data[1] >> 7;
    if (n < (section_syntax_indicator ? 8u : 3u)) {
        return 0;
    }
    table_id = data[0];
    section_length = (data[1] & 0x0Fu) * 256 + data[2];
    if (section_length >= MAX_SIZE - 2) {
        return 0;
    }
    expected_length = section_length + 3;
    if (!section_syntax_indicator) {
        return 1;
    }
    table_id_extension = data[3] * 256u + data[4];
    version_number = (data[5] >> 1) & 0x1F;
    current_next_indicator = data[5] & 1;
    section_number = data[6];
    last_section_number = data[7];
    return 1;
}

bool SectionData::append(const unsigned char* data, unsigned n) {
    if (expected_length == 0) {
        return false;
    }
    unsigned take = expected_length - length;
    if (n < take) {
        take = n;
    }
    if (take > 0) {
        memcpy(bytes + length, data, take);
        length += take;
    }
    return complete();
}

bool SectionData::checkCrc32() const {
    return psisi_utils::crc32(bytes, length) == 0;
}

void SectionData::appendCrc32() {
    if (length + 4 > MAX_SIZE) {
        return;
    }
    uint32_t crc = psisi_utils::crc32(bytes, length);
    bytes[length] = crc >> 24;
    bytes[length + 1] = crc >> 16;
    bytes[length + 2] = crc >> 8;
    bytes[length + 3] = crc;
    length += 4;
}

void SectionData::advanceOutputIdx(unsigned n) {
    if (length == 0) {
        output_index = 0;
        return;
    }
    output_index = (output_index + n) % length;
}

bool operator==(const SectionData& a, const SectionData& b) {
    return a.table_id == b.table_id && a.table_id_extension == b.table_id_extension &&
           a.section_number == b.section_number && a.version_number == b.version_number &&
           a.current_next_indicator == b.current_next_indicator;
}

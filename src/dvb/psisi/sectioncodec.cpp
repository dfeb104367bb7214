#include "sectioncodec.h"

#include <stdexcept>

void SectionCodec::moveAttributesFromDescriptors(AttributeMap& into,
                                                 const std::vector<DvbDescriptor*>& descriptors,
                                                 const std::set<DescriptorType>& allowed) {
    for (const DvbDescriptor* d : descriptors) {
        if (allowed.count(d->tag) == 0) {
            continue;
        }
        for (const auto& [name, value] : d->attributes) {
            into.emplace(name, value);
        }
    }
}

void SectionCodec::checkSection(const SectionData* sd, unsigned minimum_length, int table_id) {
    if (static_cast<int>(sd->table_id) != table_id) {
        throw std::invalid_argument("Bad table_id");
    }
    if (sd->length < minimum_length) {
        throw std::length_error("Too short section data");
    }
}

void SectionCodec::checkEncodedLength(size_t section_length) {
    if (section_length > MAX_ENCODED_SECTION_LENGTH) {
        throw std::length_error("section_length to big");
    }
}

void SectionCodec::writeHeader(SectionData* sd, int table_id, unsigned section_length,
                               int table_id_extension) {
    unsigned char* b = sd->bytes;
    b[0] = static_cast<unsigned char>(table_id);
    b[1] = static_cast<unsigned char>(0xB0 | ((section_length >> 8) & 0x0F));
    b[2] = static_cast<unsigned char>(section_length & 0xFF);
    b[3] = static_cast<unsigned char>((table_id_extension >> 8) & 0xFF);
    b[4] = static_cast<unsigned char>(table_id_extension & 0xFF);
    b[5] = static_cast<unsigned char>(0xC1 | ((sd->version_number & 0x1F) << 1));
    b[6] = 0;
    b[7] = 0;
}

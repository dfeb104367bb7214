#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "dvb/psisi/descriptors/dvbdescriptor.h"
#include "section.h"
#include "sectiondata.h"

// Stateless decoder and encoder of one table kind.
class SectionCodec {
  public:
    virtual ~SectionCodec() = default;

    // A new table from a complete section. Throws std::invalid_argument("Bad table_id") for a
    // section of another kind and std::length_error("Too short section data") for one too short.
    virtual std::unique_ptr<Section> decodeSection(const SectionData* sd) = 0;
    // Writes the table as one section without CRC, with the version already held by sd; returns
    // the bytes written, 0 when the codec does not encode.
    virtual unsigned encodeSection(const Section* section, SectionData* sd) = 0;
    virtual uint64_t transmitIntervalUs() const = 0;

    // Adds the attributes of the descriptors whose tag is allowed, in order; a name already
    // present keeps its value. The descriptors stay with the caller.
    static void moveAttributesFromDescriptors(AttributeMap& into,
                                              const std::vector<DvbDescriptor*>& descriptors,
                                              const std::set<DescriptorType>& allowed);

  protected:
    // The checks every decoder starts with.
    static void checkSection(const SectionData* sd, unsigned minimum_length, int table_id);
    // The long-form header every encoder writes (bytes 0 to 7).
    static void writeHeader(SectionData* sd, int table_id, unsigned section_length, int table_id_extension);
    static void checkEncodedLength(size_t section_length);

    static constexpr unsigned MAX_ENCODED_SECTION_LENGTH = 1021;
};

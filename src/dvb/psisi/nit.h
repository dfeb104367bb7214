#pragma once

#include <string>
#include <unordered_map>

#include "dvb/psisi/descriptors/dvbdescriptor.h"
#include "section.h"

// One entry of the NIT transport stream loop.
struct NitTransportStreamPayload {
    int version = -1;
    int transport_stream_id = -1;
    int original_network_id = -1;
    AttributeMap attributes;
};

// Content of one NIT section.
struct NitPayload {
    int version = -1;
    int network_id = -1;
    // network_name (UTF-8) from the network name descriptor
    AttributeMap attributes;
    // transport_stream_id -> entry
    std::unordered_map<int, NitTransportStreamPayload> transport_streams;
};

class NIT : public Section {
  public:
    using Section::Section;

    std::string toFancyString() const override;
    SectionType getSectionType() const override { return ST_NIT; }

    // Takes over the attributes of a network name descriptor (names already present stay);
    // every other descriptor is ignored.
    void appendAttributesFromDescriptor(DvbDescriptor* d);

    NitPayload payload;
};

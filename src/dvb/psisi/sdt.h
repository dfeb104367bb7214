#pragma once

#include <set>
#include <string>
#include <unordered_map>

#include "dvb/psisi/descriptors/dvbdescriptor.h"
#include "section.h"

// One service of an SDT.
struct SdtServicePayload {
    int version = -1;
    int spare = 0;
    // service_type, provider_name and service_name (UTF-8) from the service descriptor
    AttributeMap attributes;
};

// Content of one SDT section.
struct SdtPayload {
    int version = -1;
    int transport_stream_id = -1;
    int spare = -1;
    // service_id -> service
    std::unordered_map<int, SdtServicePayload> services;
};

class SDT : public Section {
  public:
    using Section::Section;

    std::string toFancyString() const override;
    SectionType getSectionType() const override { return ST_SDT; }

    static const std::set<DescriptorType> allowed_service_descriptors;

    SdtPayload payload;
};

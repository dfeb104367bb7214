#pragma once

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "dvb/psisi/descriptors/dvbdescriptor.h"
#include "section.h"

// Class of an elementary stream.
enum EsClass : int {
    ES_NONE = 0,
    ES_VIDEO = 1,
    ES_AUDIO = 2,
    ES_SUBTITLE = 3,
    ES_TELETEXT = 4,
    ES_OTHER = 5,
};

// One elementary stream of a PMT.
struct PmtEsPayload {
    int pid = -1;
    int stream_type = 0;
    EsClass es_class = ES_NONE;
    AttributeMap attributes;
    // The ES loop entry as received: stream_type, PID, ES_info_length and the descriptors.
    std::vector<unsigned char> raw;
};

// stream_type -> its name in the ISO/IEC 13818-1 table.
extern const std::unordered_map<int, std::string> pmt_stream_type_text;
// stream_type -> short description of the common video and audio types.
extern const std::unordered_map<int, std::string> pmt_stream_type_description;

class PMT : public Section {
  public:
    using Section::Section;

    std::string toFancyString() const override;
    SectionType getSectionType() const override { return ST_PMT; }

    // Descriptors whose attributes the program and its streams take over.
    static const std::set<DescriptorType> allowed_descriptors;
    static const std::set<DescriptorType> allowed_es_descriptors;

    int version = -1;
    int pcr_pid = -1;
    int program_number = -1;
    AttributeMap attributes;
    std::vector<unsigned char> program_info;
    // elementary PID -> stream
    std::unordered_map<int, PmtEsPayload> streams;
};

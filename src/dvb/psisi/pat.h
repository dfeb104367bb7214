#pragma once

#include <string>
#include <unordered_map>

#include "section.h"

// Content of one PAT section.
struct PatPayload {
    int version = -1;
    int transport_stream_id = -1;
    // PID of the network information table (program_number 0); -1 when the PAT names none.
    int nid_pid = -1;
    // program_number -> PMT PID, program 0 excluded.
    std::unordered_map<int, int> programs;
};

class PAT : public Section {
  public:
    using Section::Section;

    std::string toFancyString() const override;
    SectionType getSectionType() const override { return ST_PAT; }

    PatPayload payload;
};

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "dvb/psisi/pmt.h"
#include "orm/attributevalue.h"

// One program of one input stream.
struct StreamProgram {
    uint32_t sid = 0;
    int program_number = -1;

    bool operator==(const StreamProgram& o) const {
        return sid == o.sid && program_number == o.program_number;
    }
    bool operator!=(const StreamProgram& o) const { return !(*this == o); }
    std::string toString() const;
};

std::ostream& operator<<(std::ostream& os, const StreamProgram& sp);

namespace std {
template <>
struct hash<StreamProgram> {
    size_t operator()(const StreamProgram& sp) const noexcept {
        return static_cast<size_t>((static_cast<unsigned>(sp.program_number) << 1) ^ sp.sid);
    }
};
}  // namespace std

// Settings of one candidate source of an output.
struct RemuxProperties {
    uint8_t active = 0;
    // Lower is preferred.
    int priority = 0;
    uint8_t error = 0;
    // "audio_stream_pid", "subtitle_stream_pid", "pcr_sync" (ints); only the active candidate has any.
    AttributeMap attributes;
};

// Everything known about one program: the input side as the demultiplexer found it, and the
// output side as an output multiplexer carries it.
struct ProgramInformation {
    uint32_t sid = static_cast<uint32_t>(-1);
    int program_number = -1;
    // The PMT PID in the input, which is also the PID of the regenerated PMT.
    int pmt_pid = -1;
    int pcr_pid_selected = -1;
    // Per class the one PID to carry; a class without entry carries all its streams.
    std::map<EsClass, int> es_selection;

    // Input PMT; pmt_version -1 until one was seen.
    int pmt_version = -1;
    int pcr_pid = -1;
    int pmt_program_number = -1;
    AttributeMap pmt_attributes;
    std::vector<unsigned char> program_info;
    std::unordered_map<int, PmtEsPayload> streams;

    // Output PMT; out_version -1 while the program is not on air.
    int out_version = -1;
    int out_pcr_pid = -1;
    int out_program_number = -1;
    AttributeMap out_attributes;
    std::vector<unsigned char> out_program_info;
    std::unordered_map<int, PmtEsPayload> out_streams;

    // The program's SDT service; service_version -1 when there is none.
    int service_version = -1;
    int service_spare = -1;
    AttributeMap service_attributes;
};

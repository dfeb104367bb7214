#include "pat.h"

#include "utils.h"

std::string PAT::toFancyString() const {
    static const std::string rule = "+" + std::string(49, '-') + "\n";
    std::string out = rule;
    out += utils::string_format("| transport_stream_id %d\n", payload.transport_stream_id);
    out += utils::string_format("| +- nid_pid : %d\n", payload.nid_pid);
    out += rule;
    for (const auto& [program, pid] : payload.programs) {
        out += utils::string_format("| program %-5d  -> pmt pid %-4d\n", program, pid);
    }
    out += rule;
    return out;
}

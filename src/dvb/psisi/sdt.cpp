#include "sdt.h"

#include "utils.h"

const std::set<DescriptorType> SDT::allowed_service_descriptors = {SERVICE_DESCRIPTOR};

std::string SDT::toFancyString() const {
    static const std::string rule = "+" + std::string(49, '-') + "\n";
    std::string out;
    out.reserve(500);
    out += rule;
    out += utils::string_format("| transport_stream_id %d\n", payload.transport_stream_id);
    out += rule;
    for (const auto& [service_id, service] : payload.services) {
        out += utils::string_format("| service %d\n", service_id);
        appendAttributeLines(out, service.attributes);
        out += "|\n";
    }
    out += rule;
    return out;
}

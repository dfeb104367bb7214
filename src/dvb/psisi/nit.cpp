#include "nit.h"

#include "utils.h"

void NIT::appendAttributesFromDescriptor(DvbDescriptor* d) {
    if (d == nullptr || d->tag != NETWORK_NAME_DESCRIPTOR) {
        return;
    }
    for (const auto& [name, value] : d->attributes) {
        payload.attributes.emplace(name, value);
    }
}

std::string NIT::toFancyString() const {
    static const std::string rule = "+" + std::string(55, '-') + "\n";
    std::string out;
    out.reserve(500);
    out += rule;
    out += utils::string_format("| network_id %d\n", payload.network_id);
    appendAttributeLines(out, payload.attributes);
    out += rule;
    return out;
}

#include "remuxrecord.h"

#include "utils.h"

std::string RemuxRecord::toString() const {
    return utils::string_format("[src_id=%d, src_name=\"%s\", dst_id=%d, pr=%d]", src_id, src_name.c_str(),
                                dst_id, priority);
}

std::string RemuxRecord::toFancyString() const {
    std::string out = toString() + "\n";
    for (const auto& [name, value] : attributes) {
        out += "+-" + name + ": " + value.toQuotedString() + "\n";
    }
    return out;
}

std::ostream& operator<<(std::ostream& os, const RemuxRecord& r) {
    return os << r.toString();
}

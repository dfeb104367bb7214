#include "node.h"

#include "utils.h"

template <typename T>
void Node::setTyped(const std::string& name, const T& value) {
    auto it = attributes.find(name);
    if (it == attributes.end()) {
        attributes.emplace(name, AttributeValue(value));
        return;
    }
    AttributeValue& current = it->second;
    if (!current.empty() && current.get<T>() == value) {
        return;
    }
    current.set(value);
    current.stored = false;
}

void Node::setAttribute(const std::string& name, int value) {
    setTyped(name, value);
}

void Node::setAttribute(const std::string& name, const std::string& value) {
    setTyped(name, value);
}

void Node::setAttribute(const std::string& name, const AttributeValue& value) {
    auto it = attributes.find(name);
    if (it == attributes.end()) {
        attributes.emplace(name, value);
        return;
    }
    if (it->second == value) {
        return;
    }
    it->second = value;
    it->second.stored = false;
}

std::string Node::toFancyString(int indent) const {
    const std::string pad(indent > 0 ? indent : 0, ' ');
    std::string out;
    out.reserve(50 * attributes.size());
    switch (node_type) {
        case NODE_STREAM:
            out += "stream\n";
            break;
        case NODE_SERVICE:
            out += "service\n";
            break;
        case NODE_ELEMENTARY_STREAM:
            out += "elementary_stream\n";
            break;
        default:
            break;
    }
    for (const auto& [name, value] : attributes) {
        out += pad + "+-" + name + ": " + value.toQuotedString() + "\n";
    }
    for (const auto& child : children) {
        out += pad + "|" + pad + "\n" + pad + "+- " + child->toFancyString(indent + 4);
    }
    return out;
}

std::string Node::toBrutalString() const {
    auto p = parent.lock();
    return utils::string_format("{database_id=%d, node_type=%d, config_id=%d, parent_id=%d, parent=%s}",
                                database_id, static_cast<int>(node_type), config_id, parent_id,
                                p ? p->toBrutalString().c_str() : "no");
}

bool operator==(const Node& a, const Node& b) {
    return a.database_id == b.database_id && a.attributes == b.attributes;
}

std::ostream& operator<<(std::ostream& os, const Node& n) {
    return os << n.toFancyString(0);
}

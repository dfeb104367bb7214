#include "nodetree.h"

std::shared_ptr<Node> NodeTree::append(NodeType type, std::shared_ptr<Node> parent) {
    auto node = std::make_shared<Node>(type);
    nodes.push_back(node);
    if (parent) {
        parent->children.push_back(node);
    }
    node->parent = parent;
    return node;
}

std::shared_ptr<Node> NodeTree::findFirst(NodeType type) const {
    for (const auto& n : nodes) {
        if (n->node_type == type) {
            return n;
        }
    }
    return nullptr;
}

std::shared_ptr<Node> NodeTree::findFirst(NodeType type, const std::string& name,
                                          const AttributeValue& value) const {
    for (const auto& n : nodes) {
        if (n->node_type != type) {
            continue;
        }
        auto it = n->attributes.find(name);
        if (it != n->attributes.end() && it->second == value) {
            return n;
        }
    }
    return nullptr;
}

void NodeTree::resetVisited() {
    for (const auto& n : nodes) {
        n->visited = false;
    }
}

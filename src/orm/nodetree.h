#pragma once

#include <memory>
#include <string>
#include <vector>

#include "node.h"

// Owns every node of one tree, parents before their children.
class NodeTree {
  public:
    NodeTree() = default;

    // Creates a node of the given kind under `parent` (none when null) and returns it.
    std::shared_ptr<Node> append(NodeType type, std::shared_ptr<Node> parent);
    std::shared_ptr<Node> findFirst(NodeType type) const;
    // First node of the kind whose attribute `name` equals `value` (same kind of value).
    std::shared_ptr<Node> findFirst(NodeType type, const std::string& name,
                                    const AttributeValue& value) const;
    void resetVisited();

    std::vector<std::shared_ptr<Node>> nodes;
};

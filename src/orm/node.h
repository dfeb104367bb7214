#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "attributevalue.h"

// Kind of a configuration or status node; the value is what the status database stores.
enum NodeType : int {
    NODE_STREAM = 0,
    NODE_SERVICE = 1,
    NODE_ELEMENTARY_STREAM = 2,
    NODE_INTERFACE = 3,
};

// A typed node of a configuration or status tree with its attributes and database ids.
class Node {
  public:
    Node() = default;
    explicit Node(NodeType type) : node_type(type) {}
    Node(NodeType type, int database_id_, int config_id_, int parent_id_)
        : database_id(database_id_), node_type(type), config_id(config_id_), parent_id(parent_id_) {}

    // A changed value clears `stored`; an equal one leaves the attribute untouched. Giving an
    // attribute the other kind of value throws std::bad_cast.
    void setAttribute(const std::string& name, int value);
    void setAttribute(const std::string& name, const std::string& value);
    // Takes the value's kind and flag as they are; a changed value ends up not stored.
    void setAttribute(const std::string& name, const AttributeValue& value);

    std::string toFancyString(int indent) const;
    std::string toBrutalString() const;

    bool visited = false;
    int database_id = -1;
    NodeType node_type = NODE_STREAM;
    int config_id = -1;
    int parent_id = -1;
    AttributeMap attributes;
    std::weak_ptr<Node> parent;
    std::vector<std::shared_ptr<Node>> children;

  private:
    template <typename T>
    void setTyped(const std::string& name, const T& value);
};

// Same row and same attributes; kind, ids of other rows and links are not compared.
bool operator==(const Node& a, const Node& b);
inline bool operator!=(const Node& a, const Node& b) {
    return !(a == b);
}
std::ostream& operator<<(std::ostream& os, const Node& n);

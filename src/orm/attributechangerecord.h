#pragma once

#include <string>

// A pending change of one configuration attribute.
class AttributeChangeRecord {
  public:
    std::string toString() const;

    int id = -1;
    int stream_config_attribute_id = -1;
    int committed = 0;
    int node_id = -1;
    std::string attr_id;
};

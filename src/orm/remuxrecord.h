#pragma once

#include <ostream>
#include <string>

#include "attributevalue.h"

// One enabled row of the remux table: a candidate source for an output.
class RemuxRecord {
  public:
    std::string toString() const;
    // toString() followed by one "+-name: value" line per attribute.
    std::string toFancyString() const;

    int id = -1;
    int src_id = -1;
    std::string src_name;
    int dst_id = -1;
    int priority = 0;
    AttributeMap attributes;
};

std::ostream& operator<<(std::ostream& os, const RemuxRecord& r);

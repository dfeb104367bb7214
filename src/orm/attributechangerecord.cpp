#include "attributechangerecord.h"

#include "utils.h"

std::string AttributeChangeRecord::toString() const {
    return utils::string_format("[id=%d, node_id=%d, attr_id=%s]", id, node_id, attr_id.c_str());
}

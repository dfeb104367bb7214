#include "attributevalue.h"

#include "utils.h"

AttributeValue::AttributeValue(const AttributeValue& o) : stored(o.stored), tag(o.tag) {
    helper::copy(tag, &o.data, &data);
}

AttributeValue::AttributeValue(AttributeValue&& o) noexcept : stored(o.stored), tag(o.tag) {
    helper::move(tag, &o.data, &data);
}

AttributeValue& AttributeValue::operator=(const AttributeValue& o) {
    if (this != &o) {
        clear();
        helper::copy(o.tag, &o.data, &data);
        tag = o.tag;
        stored = o.stored;
    }
    return *this;
}

AttributeValue& AttributeValue::operator=(AttributeValue&& o) noexcept {
    if (this != &o) {
        clear();
        helper::move(o.tag, &o.data, &data);
        tag = o.tag;
        stored = o.stored;
    }
    return *this;
}

void AttributeValue::clear() {
    helper::destroy(tag, &data);
    tag = 0;
}

std::string AttributeValue::toString() const {
    if (is<int>()) {
        return utils::string_format("%d", get<int>());
    }
    if (is<std::string>()) {
        return get<std::string>();
    }
    return "invalid_type";
}

std::string AttributeValue::toQuotedString() const {
    if (is<std::string>()) {
        return "\"" + get<std::string>() + "\"";
    }
    return toString();
}

bool AttributeValue::operator==(const AttributeValue& o) const {
    if (tag != o.tag) {
        return false;
    }
    if (is<int>()) {
        return get<int>() == o.get<int>();
    }
    if (is<std::string>()) {
        return get<std::string>() == o.get<std::string>();
    }
    return false;
}

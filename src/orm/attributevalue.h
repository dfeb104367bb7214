#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>

#include "variant_helper.h"

// The value of one attribute: empty, a 32-bit integer or a text, plus the flag that says whether
// this exact value has reached the status database.
class AttributeValue {
    using helper = variant_helper<int, std::string>;

  public:
    AttributeValue() = default;
    AttributeValue(int v) { set(v); }
    AttributeValue(const std::string& v) { set(v); }
    AttributeValue(std::string&& v) { set(std::move(v)); }
    AttributeValue(const char* v) { set(std::string(v)); }
    AttributeValue(const AttributeValue& o);
    AttributeValue(AttributeValue&& o) noexcept;
    AttributeValue& operator=(const AttributeValue& o);
    AttributeValue& operator=(AttributeValue&& o) noexcept;
    ~AttributeValue() { clear(); }

    template <typename T>
    bool is() const {
        return tag == helper::index_of<T>();
    }
    bool empty() const { return tag == 0; }

    // Reading the alternative that is not held throws std::bad_cast.
    template <typename T>
    const T& get() const {
        if (!is<T>()) {
            throw std::bad_cast();
        }
        return *reinterpret_cast<const T*>(&data);
    }

    // Replaces whatever was held; the stored flag is left to the caller.
    void set(const char* v) { set(std::string(v)); }
    template <typename T>
    void set(T&& v) {
        using D = std::decay_t<T>;
        clear();
        new (&data) D(std::forward<T>(v));
        tag = helper::index_of<D>();
    }

    // The database text form: "%d" for an integer, the text itself, "invalid_type" when empty.
    std::string toString() const;
    // The form of the tree dumps: the integer in decimal, a text in double quotes.
    std::string toQuotedString() const;

    bool operator==(const AttributeValue& o) const;
    bool operator!=(const AttributeValue& o) const { return !(*this == o); }

    bool stored = false;

  private:
    void clear();

    std::size_t tag = 0;
    alignas(std::string) unsigned char data[sizeof(std::string)];
};

// Attribute name to value. Two maps are equal when they hold the same names with equal values.
using AttributeMap = std::unordered_map<std::string, AttributeValue>;

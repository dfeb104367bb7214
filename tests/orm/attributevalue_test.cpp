#include "orm/attributevalue.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <utility>

#include "orm/attributenames.h"

namespace {

TEST(AttributeValue, HoldsOneAlternativeAndRefusesTheOther) {
    AttributeValue empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_FALSE(empty.is<int>());
    EXPECT_FALSE(empty.is<std::string>());
    EXPECT_THROW(empty.get<int>(), std::bad_cast);

    AttributeValue number(42);
    EXPECT_TRUE(number.is<int>());
    EXPECT_EQ(number.get<int>(), 42);
    EXPECT_THROW(number.get<std::string>(), std::bad_cast);

    AttributeValue text("Service 1");
    EXPECT_TRUE(text.is<std::string>());
    EXPECT_EQ(text.get<std::string>(), "Service 1");
    EXPECT_THROW(text.get<int>(), std::bad_cast);

    // Switching alternatives releases the old one (the sanitizer build checks the text).
    text.set(7);
    EXPECT_EQ(text.get<int>(), 7);
    number.set(std::string(100, 'x'));
    EXPECT_EQ(number.get<std::string>().size(), 100u);
}

TEST(AttributeValue, CopiesAndMovesKeepValueAndFlag) {
    AttributeValue a(std::string(64, 'a'));
    a.stored = true;
    AttributeValue b(a);
    EXPECT_EQ(b.get<std::string>(), std::string(64, 'a'));
    EXPECT_TRUE(b.stored);
    AttributeValue c(std::move(b));
    EXPECT_EQ(c.get<std::string>(), std::string(64, 'a'));
    AttributeValue d(5);
    d = c;
    EXPECT_EQ(d.get<std::string>(), std::string(64, 'a'));
    EXPECT_TRUE(d.stored);
    AttributeValue e;
    e = std::move(d);
    EXPECT_EQ(e.get<std::string>(), std::string(64, 'a'));
    AttributeValue& alias = e;
    e = alias;
    EXPECT_EQ(e.get<std::string>(), std::string(64, 'a'));
}

TEST(AttributeValue, EqualityNeedsSameAlternativeAndContent) {
    struct Case {
        AttributeValue a, b;
        bool equal;
    };
    const Case cases[] = {
        {AttributeValue(17), AttributeValue(17), true},
        {AttributeValue(17), AttributeValue(18), false},
        {AttributeValue("17"), AttributeValue("17"), true},
        {AttributeValue("17"), AttributeValue("17 "), false},
        {AttributeValue(17), AttributeValue("17"), false},
        {AttributeValue(), AttributeValue(), false},
        {AttributeValue(), AttributeValue(0), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.toString() << " vs " << c.b.toString();
    }
    AttributeValue stored(3), unstored(3);
    stored.stored = true;
    EXPECT_EQ(stored, unstored);
}

TEST(AttributeValue, TextForms) {
    EXPECT_EQ(AttributeValue(-12).toString(), "-12");
    EXPECT_EQ(AttributeValue("name").toString(), "name");
    EXPECT_EQ(AttributeValue().toString(), "invalid_type");
    EXPECT_EQ(AttributeValue("name").toQuotedString(), "\"name\"");
    EXPECT_EQ(AttributeValue(5).toQuotedString(), "5");
}

TEST(AttributeNames, SpelledAsTheirTexts) {
    EXPECT_EQ(STREAM_TYPE, "stream_type");
    EXPECT_EQ(ISO_639_LANGUAGE_CODE, "ISO_639_language_code");
    EXPECT_EQ(AC3_TYPE, "AC3_type");
    EXPECT_EQ(CA_SYSTEM_ID, "CA_system_id");
    EXPECT_EQ(TR101290_ERROR, "tr101290_error");
    EXPECT_EQ(MUX_SWITCH_UP_ONESHOT, "mux_switch_up_oneshot");
    EXPECT_EQ(VLAN_ID, "vlan_id");
}

}  // namespace

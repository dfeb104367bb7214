#include <gtest/gtest.h>

#include <sstream>

#include "orm/alarmdefinition.h"
#include "orm/attributechangerecord.h"
#include "orm/attributenames.h"
#include "orm/remuxrecord.h"

namespace {

TEST(RemuxRecord, TextForms) {
    RemuxRecord r;
    r.id = 3;
    r.src_id = 1;
    r.src_name = "News 24";
    r.dst_id = 7;
    r.priority = 2;
    EXPECT_EQ(r.toString(), "[src_id=1, src_name=\"News 24\", dst_id=7, pr=2]");
    std::ostringstream os;
    os << r;
    EXPECT_EQ(os.str(), r.toString());
    EXPECT_EQ(r.toFancyString(), r.toString() + "\n");
    r.attributes.emplace(AUDIO_STREAM_PID, AttributeValue(257));
    EXPECT_EQ(r.toFancyString(), r.toString() + "\n+-audio_stream_pid: 257\n");
    r.attributes.clear();
    r.attributes.emplace(SERVICE_NAME, AttributeValue("x"));
    EXPECT_EQ(r.toFancyString(), r.toString() + "\n+-service_name: \"x\"\n");
}

TEST(AttributeChangeRecord, TextForm) {
    AttributeChangeRecord c;
    c.id = 12;
    c.stream_config_attribute_id = 40;
    c.node_id = 5;
    c.attr_id = "mux_switch_up_oneshot";
    EXPECT_EQ(c.toString(), "[id=12, node_id=5, attr_id=mux_switch_up_oneshot]");
    AlarmDefinition a{1, BITRATE, 2};
    EXPECT_EQ(a.attr_id, "bitrate");
}

}  // namespace

// VLAN links over routing netlink, in a namespace made by the test.
#include "net/vlan_util.h"

#include <gtest/gtest.h>

#include <string>

#include "logcapture.h"
#include "testbed.h"

namespace {

struct VlanTest : ::testing::Test {
    VlanTest() : veth(testbed::connect(ns, ns)), enter(ns) {}
    int linkCount() {
        std::string out;
        ns.exec("ip -o link show | wc -l", &out);
        return std::stoi(out);
    }
    bool kernelCreatesVlans() {
        if (ns.exec("ip link add link " + veth.a + " name probe.9 type vlan id 9 2>/dev/null") != 0)
            return false;
        ns.exec("ip link del probe.9");
        return true;
    }
    testbed::Namespace ns{"vlan"};
    testbed::Veth veth;
    testbed::EnterNamespace enter;
};

TEST_F(VlanTest, NamesThatDoNotFitAreRefusedBeforeNetlink) {
    const std::string sixteen = "abcdefghijklmnop";
    for (int which = 0; which < 2; ++which) {
        LogCapture log;
        int rc =
            which == 0 ? vlan_add(sixteen.c_str(), 5, "x.5") : vlan_add(veth.a.c_str(), 5, sixteen.c_str());
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(log.contains("VLAN: Interface name too long: '" + sixteen + "'", google::GLOG_ERROR));
        // Nothing past the check ran: no parent look-up, no creation attempt.
        EXPECT_FALSE(log.contains("does not exist"));
        EXPECT_FALSE(log.contains("netlink"));
        EXPECT_FALSE(log.contains("failed to create link"));
    }
}

TEST_F(VlanTest, ExistingLinkNameIsReportedAndLeftAlone) {
    // A 15-character name passes the length check.
    ns.must("ip link add abcdefghijklmno type dummy 2>/dev/null || ip link add abcdefghijklmno type veth");
    const int before = linkCount();
    LogCapture log;
    EXPECT_EQ(vlan_add(veth.a.c_str(), 5, "abcdefghijklmno"), 1);
    EXPECT_EQ(vlan_add(veth.a.c_str(), 5, veth.b.c_str()), 1);
    EXPECT_TRUE(log.contains("VLAN: interface " + veth.b + " already exists", google::GLOG_ERROR));
    EXPECT_EQ(linkCount(), before);
}

TEST_F(VlanTest, AbsentParentFails) {
    LogCapture log;
    EXPECT_EQ(vlan_add("nosuchparent", 5, "nosuchparent.5"), -1);
    EXPECT_TRUE(log.contains("VLAN: interface nosuchparent does not exist", google::GLOG_ERROR));
    EXPECT_TRUE(log.contains("VLAN: vlan_add(if_name=nosuchparent, vid=5, vlan_if_name=nosuchparent.5)"));
}

TEST_F(VlanTest, RemovingAnAbsentLinkFails) {
    LogCapture log;
    EXPECT_EQ(vlan_rem("nosuchlink"), -1);
    EXPECT_TRUE(log.contains("VLAN: interface nosuchlink does not exists", google::GLOG_ERROR));
    EXPECT_EQ(vlan_set_name_type(3), 0);
}

TEST_F(VlanTest, CreatesAndRemovesAVlanLink) {
    const std::string name = veth.a + ".10";
    if (!kernelCreatesVlans()) {
        // What this kernel does show: the refusal is reported, nothing is left behind.
        LogCapture log;
        EXPECT_EQ(vlan_add(veth.a.c_str(), 10, name.c_str()), -1);
        EXPECT_TRUE(log.contains("VLAN: failed to create link " + name + " for vlan 10 on " + veth.a,
                                 google::GLOG_ERROR))
            << log.text();
        EXPECT_NE(ns.exec("ip link show " + name + " >/dev/null 2>&1"), 0);
        GTEST_SKIP() << "this kernel cannot create 802.1Q VLAN links";
    }
    ASSERT_EQ(vlan_add(veth.a.c_str(), 10, name.c_str()), 0);
    std::string out;
    ASSERT_EQ(ns.exec("ip -d link show " + name, &out), 0);
    EXPECT_NE(out.find("vlan protocol 802.1Q id 10"), std::string::npos) << out;
    EXPECT_NE(out.find("UP"), std::string::npos) << out;
    EXPECT_EQ(vlan_add(veth.a.c_str(), 10, name.c_str()), 1);
    EXPECT_EQ(vlan_rem(name.c_str()), 0);
    EXPECT_NE(ns.exec("ip link show " + name + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(vlan_rem(name.c_str()), -1);
}

}  // namespace

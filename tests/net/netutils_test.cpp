// Interface questions and the output frame header, on a veth in a namespace made by the test.
#include "net/netutils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <pcap/pcap.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "logcapture.h"
#include "testbed.h"
#include "utils.h"

namespace {

struct NetutilsTest : ::testing::Test {
    NetutilsTest() : veth(testbed::connect(ns, ns)), enter(ns) { ns.addAddress(veth.a, "198.18.0.1/24"); }
    std::string macOf(const std::string& ifname) {
        std::string out;
        ns.exec("cat /sys/class/net/" + ifname + "/address 2>/dev/null || ip -o link show " + ifname +
                    " | sed 's/.*link\\/ether \\([0-9a-f:]*\\).*/\\1/'",
                &out);
        return utils::trim(out);
    }
    testbed::Namespace ns{"netutils"};
    testbed::Veth veth;
    testbed::EnterNamespace enter;
};

sockaddr_in addr(const char* dotted) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

TEST_F(NetutilsTest, InterfaceQueries) {
    EXPECT_EQ(net::getIfIndex(veth.a), static_cast<int>(if_nametoindex(veth.a.c_str())));
    EXPECT_EQ(net::getIfIndex("nonexistent0"), -1);

    unsigned char mac[6];
    ASSERT_EQ(net::getIfMacAddr(veth.a, mac), 0);
    EXPECT_EQ(utils::to_hex(mac, 6, ':'), macOf(veth.a));
    EXPECT_EQ(net::getIfMacAddr("nonexistent0", mac), -1);

    // The first address of the interface in the system's list wins.
    ns.addAddress(veth.a, "198.18.0.2/24");
    sockaddr_in ip{};
    ASSERT_EQ(net::getIfIpAddr(veth.a, &ip), 0);
    EXPECT_EQ(ip.sin_family, AF_INET);
    EXPECT_EQ(net::sockAddrToString(ip), "198.18.0.1");
    EXPECT_EQ(net::getIfIpAddr(veth.b, &ip), -1);  // no IPv4 address
    EXPECT_EQ(net::getIfIpAddr("nonexistent0", &ip), -1);

    sockaddr_in bad = addr("1.2.3.4");
    bad.sin_family = 12345;
    EXPECT_EQ(net::sockAddrToString(bad), "<invalid>");
}

TEST(Checksum, Properties) {
    EXPECT_EQ(net::ipHeaderChecksum(nullptr, 0), 0xFFFF);
    // RFC 1071 example words: sum 0xddf2 -> checksum 0x220d.
    const unsigned short words[] = {htons(0x0001), htons(0xf203), htons(0xf4f5), htons(0xf6f7)};
    EXPECT_EQ(ntohs(net::ipHeaderChecksum(words, 4)), 0x220d);

    unsigned char mac[6];
    sockaddr_in group = addr("239.129.1.2");
    net::multicastGroupToMac(mac, &group);
    EXPECT_EQ(utils::to_hex(mac, 6, ':'), "01:00:5e:01:01:02");
}

TEST_F(NetutilsTest, OutputHeaderBytes) {
    struct Case {
        const char* destination;
        const char* mac;
    };
    // The multicast MAC is made of the destination whatever it is, unicast too.
    for (Case c : {Case{"239.129.1.2", "01:00:5e:01:01:02"}, Case{"198.18.0.9", "01:00:5e:12:00:09"}}) {
        SCOPED_TRACE(c.destination);
        std::array<unsigned char, 42> h;
        h.fill(0xEE);
        ASSERT_EQ(net::makeUdpHeader(veth.a, c.destination, 188, h.data()), 42);
        EXPECT_EQ(utils::to_hex(h.data(), 6, ':'), c.mac);
        EXPECT_EQ(utils::to_hex(h.data() + 6, 6, ':'), macOf(veth.a));
        const std::string rest = utils::to_hex(h.data() + 12, 30, ' ');
        sockaddr_in dst = addr(c.destination);
        const unsigned char* d = reinterpret_cast<const unsigned char*>(&dst.sin_addr);
        // Everything but the checksum (bytes 24-25) against the table.
        EXPECT_EQ(utils::to_hex(h.data() + 12, 12, ' '), "08 00 45 00 00 d8 d4 31 40 00 ff 11");
        EXPECT_EQ(utils::to_hex(h.data() + 26, 4, '.'), "c6.12.00.01");
        EXPECT_EQ(0, memcmp(h.data() + 30, d, 4));
        EXPECT_EQ(utils::to_hex(h.data() + 34, 8, ' '), "04 d2 04 d2 00 c4 00 00");
        unsigned short words[10];
        memcpy(words, h.data() + 14, 20);
        EXPECT_EQ(net::ipHeaderChecksum(words, 10), 0) << rest;
    }
}

TEST_F(NetutilsTest, OutputHeaderFailures) {
    struct Case {
        const char* ifname;
        const char* destination;
        unsigned payload;
        const char* line;
        google::LogSeverity severity;
    };
    const Case cases[] = {
        {"nonexistent0", "239.1.1.1", 188, "cannot get MAC address for nonexistent0", google::GLOG_ERROR},
        {nullptr, "239.1.1", 188, "inet_pton", google::GLOG_WARNING},
        {nullptr, "not an address", 188, "inet_pton", google::GLOG_WARNING},
        {"", "239.1.1.1", 188, "cannot get IP address for ", google::GLOG_ERROR},  // peer without IPv4
        {nullptr, "239.1.1.1", 65508, "does not fit", google::GLOG_ERROR},
    };
    for (const Case& c : cases) {
        std::string ifname = c.ifname == nullptr ? veth.a : (c.ifname[0] == 0 ? veth.b : c.ifname);
        SCOPED_TRACE(c.destination);
        LogCapture log;
        unsigned char h[42];
        EXPECT_EQ(net::makeUdpHeader(ifname, c.destination, c.payload, h), 0);
        EXPECT_TRUE(log.contains(c.line, c.severity)) << log.text();
    }
    unsigned char h[42];
    EXPECT_EQ(net::makeUdpHeader(veth.a, "239.1.1.1", 65507, h), 42);
}

// A real decoder reads a frame built from the header as valid IPv4/UDP carrying a TS packet.
TEST_F(NetutilsTest, TsharkDecodesAFrameBuiltFromTheHeader) {
    std::array<unsigned char, 230> frame;
    ASSERT_EQ(net::makeUdpHeader(veth.a, "239.1.2.3", 188, frame.data()), 42);
    // A null packet: sync byte, PID 0x1FFF, payload only.
    frame[42] = 0x47;
    frame[43] = 0x1F;
    frame[44] = 0xFF;
    frame[45] = 0x10;
    memset(frame.data() + 46, 0xFF, 184);

    char path[] = "/tmp/orrel_udp_header_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path);
    ASSERT_NE(dumper, nullptr);
    pcap_pkthdr hdr{};
    hdr.caplen = hdr.len = frame.size();
    pcap_dump(reinterpret_cast<u_char*>(dumper), &hdr, frame.data());
    pcap_dump_close(dumper);
    pcap_close(dead);

    std::string out;
    int status =
        testbed::run(std::string("tshark -r ") + path +
                         " -o ip.check_checksum:TRUE -d udp.port==1234,mp2t -T fields -E separator=, "
                         "-e ip.src -e ip.dst -e ip.len -e ip.checksum.status -e udp.srcport -e "
                         "udp.dstport -e udp.length -e mp2t.pid -e _ws.expert 2>/dev/null",
                     &out);
    unlink(path);
    ASSERT_EQ(status, 0);
    // Checksum status 1 is tshark's "good"; no expert warnings (the last, empty field).
    EXPECT_EQ(utils::trim(out), "198.18.0.1,239.1.2.3,216,1,1234,1234,196,0x00001fff,");
}

}  // namespace

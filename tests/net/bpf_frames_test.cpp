// The address filter a receive ring builds for its streams, run on real frames: frames built
// with the output header of a veth, and frames that ffmpeg sends over the veth.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "net/linux_pf_packet/bpf.h"
#include "net/netutils.h"
#include "testbed.h"

namespace {

using Frame = std::vector<uint8_t>;

// As the receive ring writes it for streams 239.1.1.1:5000 and 239.1.1.2:5002.
const char* const EXPRESSION =
    "udp and greater 229 and ((dst host 239.1.1.1 and dst port 5000) or (dst host 239.1.1.2 and dst port "
    "5002) )";

struct Program {
    Program() { bpf_parse_rules(EXPRESSION, &prog, 1); }
    ~Program() { free(prog.filter); }
    bool accepts(const Frame& f) const { return bpf_run_filter(&prog, f.data(), f.size()) != 0; }
    sock_fprog prog{0, nullptr};
};

struct FrameTest : ::testing::Test {
    FrameTest() : veth(testbed::connect(ns, ns)), enter(ns) {
        ns.addAddress(veth.a, "198.18.0.1/24");
        ns.addRoute("239.0.0.0/8", veth.a);
        ns.must("sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    }

    // Frame from veth.a to `dst`:`port` with `ts_packets` TS packets of payload.
    Frame udp(const char* dst, uint16_t port, unsigned payload) {
        Frame f(42 + payload, 0xFF);
        EXPECT_EQ(net::makeUdpHeader(veth.a, dst, payload, f.data()), 42);
        f[36] = static_cast<uint8_t>(port >> 8);
        f[37] = static_cast<uint8_t>(port);
        for (unsigned off = 42; off + 188 <= f.size(); off += 188) {
            f[off] = 0x47;
            f[off + 1] = 0x01;
            f[off + 2] = 0x00;
            f[off + 3] = 0x10;
        }
        return f;
    }
    static void fixChecksum(Frame& f) {
        f[24] = f[25] = 0;
        unsigned short words[10];
        memcpy(words, f.data() + 14, 20);
        unsigned short sum = net::ipHeaderChecksum(words, 10);
        memcpy(f.data() + 24, &sum, 2);
    }

    testbed::Namespace ns{"bpf"};
    testbed::Veth veth;
    testbed::EnterNamespace enter;
    Program filter;
};

TEST_F(FrameTest, AcceptsExactlyTheFramesOfTheTwoFlows) {
    ASSERT_EQ(__bpf_validate(&filter.prog), 1);
    struct Case {
        const char* what;
        Frame frame;
        bool accepted;
    };
    std::vector<Case> cases;
    cases.push_back({"first flow, one TS packet", udp("239.1.1.1", 5000, 188), true});
    cases.push_back({"second flow, seven TS packets", udp("239.1.1.2", 5002, 1316), true});
    cases.push_back({"first address, second port", udp("239.1.1.1", 5002, 188), false});
    cases.push_back({"second address, first port", udp("239.1.1.2", 5000, 188), false});
    cases.push_back({"another group", udp("239.1.1.3", 5000, 188), false});
    // "greater 229" passes frames of 229 bytes and more.
    cases.push_back({"first flow, 228-byte frame", udp("239.1.1.1", 5000, 186), false});
    cases.push_back({"first flow, 229-byte frame", udp("239.1.1.1", 5000, 187), true});
    Frame tcp = udp("239.1.1.1", 5000, 188);
    tcp[23] = IPPROTO_TCP;
    fixChecksum(tcp);
    cases.push_back({"TCP to the first flow", tcp, false});
    Frame fragment = udp("239.1.1.1", 5000, 188);
    fragment[20] = 0x00;
    fragment[21] = 0x17;  // offset 184 bytes: no UDP header in this fragment
    fixChecksum(fragment);
    cases.push_back({"later fragment to the first flow", fragment, false});
    Frame tagged = udp("239.1.1.1", 5000, 188);
    const uint8_t tag[] = {0x81, 0x00, 0x00, 0x64};
    tagged.insert(tagged.begin() + 12, tag, tag + 4);
    cases.push_back({"first flow tagged with VLAN 100", tagged, false});
    Frame arp(60, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    cases.push_back({"ARP", arp, false});
    for (const Case& c : cases)
        EXPECT_EQ(filter.accepts(c.frame), c.accepted) << c.what;
}

// What the test knows about a frame without BPF: does it belong to one of the two flows?
bool inFlows(const Frame& f) {
    if (f.size() < 229 || f[12] != 0x08 || f[13] != 0x00 || f[23] != IPPROTO_UDP)
        return false;
    if (((f[20] & 0x1F) << 8 | f[21]) != 0)
        return false;
    const unsigned ihl = (f[14] & 0x0F) * 4u;
    const std::string dst = std::to_string(f[30]) + "." + std::to_string(f[31]) + "." +
                            std::to_string(f[32]) + "." + std::to_string(f[33]);
    const unsigned port = f[14 + ihl + 2] << 8 | f[14 + ihl + 3];
    return (dst == "239.1.1.1" && port == 5000) || (dst == "239.1.1.2" && port == 5002);
}

int captureSocket(int ifindex) {
    int sock = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL));
    EXPECT_GE(sock, 0);
    int size = 8 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ALL);
    ll.sll_ifindex = ifindex;
    EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&ll), sizeof(ll)), 0);
    return sock;
}

std::vector<Frame> drain(int sock) {
    std::vector<Frame> frames;
    Frame buf(65536);
    for (;;) {
        ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        frames.emplace_back(buf.begin(), buf.begin() + n);
    }
    return frames;
}

// ffmpeg sends two wanted flows and one unwanted one over the veth, our own frames of other
// flows go with them. Every captured frame gets the verdict its flow deserves from the
// interpreter, and the kernel, running the same program on a socket, passes exactly those.
TEST_F(FrameTest, KernelAndInterpreterAgreeOnCapturedTraffic) {
    const int ifindex = net::getIfIndex(veth.b);
    int plain = captureSocket(ifindex);
    int filtered = captureSocket(ifindex);
    ASSERT_EQ(bpf_attach_to_sock(filtered, &filter.prog), 0);
    // Frames queued between socket creation and attachment did not pass the filter.
    drain(filtered);
    drain(plain);

    int sender = socket(AF_PACKET, SOCK_RAW, 0);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = net::getIfIndex(veth.a);
    to.sll_halen = 6;
    for (const Frame& f :
         {udp("239.1.1.1", 5000, 188), udp("239.1.1.3", 5000, 188), udp("239.1.1.2", 5002, 1316),
          udp("239.1.1.2", 5000, 188), udp("239.1.1.1", 5000, 100)}) {
        ASSERT_EQ(sendto(sender, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                  static_cast<ssize_t>(f.size()));
    }
    close(sender);

    ASSERT_EQ(
        ns.exec(
            "ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -t 1 -i testsrc=size=64x48:rate=25 "
            "-c:v mpeg2video -map 0 -f mpegts 'udp://239.1.1.1:5000?pkt_size=1316' "
            "-map 0 -f mpegts 'udp://239.1.1.2:5002?pkt_size=188' "
            "-map 0 -f mpegts 'udp://239.1.1.1:5001?pkt_size=1316'"),
        0);
    usleep(100000);
    std::vector<Frame> all = drain(plain);
    std::vector<Frame> passed = drain(filtered);
    close(plain);
    close(filtered);

    std::vector<Frame> accepted;
    int wanted = 0, unwanted_udp = 0;
    for (const Frame& f : all) {
        const bool verdict = filter.accepts(f);
        EXPECT_EQ(verdict, inFlows(f)) << "frame of " << f.size() << " bytes";
        if (verdict)
            accepted.push_back(f);
        wanted += verdict;
        unwanted_udp += !verdict && f.size() > 23 && f[23] == IPPROTO_UDP;
    }
    EXPECT_GT(wanted, 20);
    EXPECT_GT(unwanted_udp, 5);
    std::sort(accepted.begin(), accepted.end());
    std::sort(passed.begin(), passed.end());
    EXPECT_EQ(accepted.size(), passed.size());
    EXPECT_TRUE(accepted == passed);
}

}  // namespace

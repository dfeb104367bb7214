// The receive ring on a veth inside a namespace made by the test: frames sent from the peer
// reach the stream they belong to, the address filter (this driver refuses the receive filer)
// follows the streams, memberships follow the groups, and timestamps are software ones. The
// transmit ring on the peer sends paced frames that the receive ring stamps on arrival.
#include "net/linux_pf_packet/rxring.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logcapture.h"
#include "net/linux_pf_packet/txring.h"
#include "net/netutils.h"
#include "realtime.h"
#include "testbed.h"

namespace {

using Frame = std::vector<uint8_t>;

uint64_t realtimeNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

sockaddr_in address(const char* dotted, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

// What the ring handed over for one frame.
struct Received {
    int sid;
    uint32_t len;
    uint8_t marker;
    uint64_t stamp_ns;
    bool tagged;
    uint16_t vlan;
};

struct RxRingTest : ::testing::Test {
    RxRingTest() : veth(testbed::connect(ns, ns)), enter(ns) {
        ns.must("sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
        ns.addAddress(veth.a, "198.18.0.1/24");
        ns.addAddress(veth.b, "198.18.0.2/24");
        sender = socket(AF_PACKET, SOCK_RAW, 0);
        EXPECT_GE(sender, 0);
        to.sll_family = AF_PACKET;
        to.sll_ifindex = net::getIfIndex(veth.a);
        to.sll_halen = 6;
    }
    ~RxRingTest() override { close(sender); }

    void initRing(RxRing& ring) {
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(ring.init(net::getIfIndex(veth.b), veth.b), 0);
        ::testing::internal::GetCapturedStdout();
    }

    // A UDP frame from veth.a carrying `packets` TS packets, the first with `marker` in its
    // payload; tagged when `vlan` is not negative.
    Frame frame(const char* dst, uint16_t port, uint8_t marker, int vlan = -1, unsigned packets = 1) {
        Frame f(42 + 188 * packets, 0xFF);
        EXPECT_EQ(net::makeUdpHeader(veth.a, dst, 188 * packets, f.data()), 42);
        f[36] = static_cast<uint8_t>(port >> 8);
        f[37] = static_cast<uint8_t>(port);
        for (unsigned k = 0; k < packets; ++k)
            f[42 + 188 * k] = 0x47;
        f[46] = marker;
        if (vlan >= 0) {
            const uint8_t tag[] = {0x81, 0x00, static_cast<uint8_t>(vlan >> 8), static_cast<uint8_t>(vlan)};
            f.insert(f.begin() + 12, tag, tag + 4);
        }
        return f;
    }
    void send(const Frame& f) {
        memcpy(to.sll_addr, f.data(), 6);
        ASSERT_EQ(sendto(sender, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                  static_cast<ssize_t>(f.size()));
    }

    // Drains the ring for `ms` milliseconds, as the engine thread does: peek, then pop.
    static std::vector<Received> drain(RxRing& ring, int ms = 100) {
        std::vector<Received> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            frame_map* f = nullptr;
            const int sid = ring.peek(f);
            if (sid == 0) {
                usleep(200);
                continue;
            }
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(f) + f->tp_mac;
            got.push_back({sid, f->tp_len, bytes[46],
                           static_cast<uint64_t>(f->tp_sec) * 1000000000u + f->tp_nsec,
                           (f->tp_status & TP_STATUS_VLAN_VALID) != 0, f->tp_vlan_tci});
            ring.pop();
        }
        return got;
    }
    // Frames that passed the socket's filter since the last call.
    static unsigned passedFilter(const RxRing& ring) {
        tpacket_stats stats{};
        socklen_t len = sizeof(stats);
        EXPECT_EQ(getsockopt(ring.getSocket(), SOL_PACKET, PACKET_STATISTICS, &stats, &len), 0);
        return stats.tp_packets;
    }

    testbed::Namespace ns{"rxring"};
    testbed::Veth veth;
    testbed::EnterNamespace enter;
    int sender;
    sockaddr_ll to{};
    LogCapture log;
};

TEST_F(RxRingTest, OnThisDriverTheAddressFilterStandsInForTheFiler) {
    RxRing ring;
    initRing(ring);
    EXPECT_TRUE(ring.usesAddressFilter());
    EXPECT_TRUE(
        log.contains(veth.b + ": ioctl(SIOCSHWTSTAMP), fall back to SW timestamp", google::GLOG_ERROR));
    EXPECT_TRUE(log.contains(veth.b + ": receive filer rules refused by the driver", google::GLOG_WARNING));
    EXPECT_TRUE(log.contains("BPF filter \"less 1\""));
    EXPECT_TRUE(log.contains(veth.b + ": mmaped ring size RX: 33554432"));
    EXPECT_EQ(ring.getFrameCount(), 16384u);
    // The filer's rules were asked for and refused: no location went to a stream.
    EXPECT_FALSE(log.contains("added IP hardware filter rule"));

    // Without streams nothing gets in.
    passedFilter(ring);
    send(frame("239.1.1.1", 5000, 1));
    send(frame("198.18.0.2", 5000, 2));
    EXPECT_TRUE(drain(ring, 50).empty());
    EXPECT_EQ(passedFilter(ring), 0u);
}

// Frames reach the SID of their flow with their software receive time; other flows are
// stopped by the kernel, before the ring.
TEST_F(RxRingTest, FramesReachTheirStreamsAndNothingElseGetsIn) {
    RxRing ring;
    initRing(ring);
    EXPECT_EQ(ring.addStream(5, address("239.1.1.1", 5000), 0, nullptr, 0, 0), 0);
    EXPECT_EQ(ring.addStream(7, address("239.1.1.2", 5002), 0, nullptr, 0, 0), 0);
    EXPECT_TRUE(log.contains(
        "BPF filter \"udp and greater 229 and ((dst host 239.1.1.1 and dst port 5000) or (dst host 239.1.1.2 "
        "and dst port 5002) )\""));
    EXPECT_FALSE(log.contains("FAILED TO ADD HARDWARE FILTER RULE"));
    passedFilter(ring);

    const uint64_t before = realtimeNs();
    send(frame("239.1.1.1", 5000, 1));
    send(frame("239.1.1.3", 5000, 2));  // another group
    send(frame("239.1.1.2", 5002, 3, -1, 7));
    send(frame("239.1.1.1", 5002, 4));  // the other stream's port
    send(frame("239.1.1.1", 5000, 5));
    Frame tcp = frame("239.1.1.1", 5000, 6);
    tcp[23] = IPPROTO_TCP;
    send(tcp);
    const std::vector<Received> got = drain(ring);
    const uint64_t after = realtimeNs();

    ASSERT_EQ(got.size(), 3u);
    const Received expected[] = {
        {5, 230, 1, 0, false, 0}, {7, 42 + 7 * 188, 3, 0, false, 0}, {5, 230, 5, 0, false, 0}};
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].sid, expected[i].sid) << i;
        EXPECT_EQ(got[i].len, expected[i].len) << i;
        EXPECT_EQ(got[i].marker, expected[i].marker) << i;
        EXPECT_GE(got[i].stamp_ns, before) << i;
        EXPECT_LE(got[i].stamp_ns, after) << i;
    }
    EXPECT_EQ(passedFilter(ring), 3u);
    frame_map* f = nullptr;
    EXPECT_EQ(ring.peek(f), 0);
}

// Removing a stream rebuilds the filter without it; adding it again brings its frames back. A
// frame that passes the filter but matches no stream entry is handed back inside peek.
TEST_F(RxRingTest, StreamsComeAndGo) {
    RxRing ring;
    initRing(ring);
    ring.addStream(5, address("239.1.1.1", 5000), 0, nullptr, 0, 0);
    ring.addStream(7, address("239.1.1.2", 5002), 0, nullptr, 0, 0);
    log.clear();
    EXPECT_EQ(ring.removeStream(5, address("239.1.1.1", 5000), 0), 0);
    EXPECT_TRUE(
        log.contains("BPF filter \"udp and greater 229 and ((dst host 239.1.1.2 and dst port 5002) )\""));
    passedFilter(ring);
    send(frame("239.1.1.1", 5000, 1));
    send(frame("239.1.1.2", 5002, 2));
    std::vector<Received> got = drain(ring);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sid, 7);
    EXPECT_EQ(passedFilter(ring), 1u);

    ring.addStream(5, address("239.1.1.1", 5000), 0, nullptr, 0, 0);
    send(frame("239.1.1.1", 5000, 3));
    got = drain(ring);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sid, 5);
    EXPECT_EQ(got[0].marker, 3);

    // Same address and port on VLAN 100 only: the untagged frame passes the address filter but
    // belongs to no stream.
    ring.removeStream(5, address("239.1.1.1", 5000), 0);
    ring.addStream(9, address("239.1.1.1", 5000), 0, nullptr, 0, 100);
    const unsigned index = ring.getFrameIndex();
    send(frame("239.1.1.1", 5000, 4));
    send(frame("239.1.1.2", 5002, 5));
    got = drain(ring);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sid, 7);
    EXPECT_EQ(got[0].marker, 5);
    EXPECT_EQ(ring.getFrameIndex(), index + 2);
}

// The VLAN of a tagged frame is part of the match; the same flow untagged is another stream.
TEST_F(RxRingTest, TaggedFramesMatchOnlyTheirVlan) {
    RxRing ring;
    initRing(ring);
    ring.addStream(5, address("239.1.1.1", 5000), 0, nullptr, 0, 0);
    // This kernel has no 802.1Q links: the join fails, the stream is entered all the same.
    ring.addStream(9, address("239.1.1.1", 5000), 0, nullptr, 0, 100);
    EXPECT_TRUE(log.contains("IGMP join failed", google::GLOG_WARNING));
    send(frame("239.1.1.1", 5000, 1, 100));
    send(frame("239.1.1.1", 5000, 2));
    send(frame("239.1.1.1", 5000, 3, 200));
    send(frame("239.1.1.1", 5000, 4, 0x2000 | 100));  // priority bits are not the VLAN
    const std::vector<Received> got = drain(ring);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].sid, 9);
    EXPECT_EQ(got[0].marker, 1);
    EXPECT_TRUE(got[0].tagged);
    EXPECT_EQ(got[0].vlan, 100);
    EXPECT_EQ(got[1].sid, 5);
    EXPECT_EQ(got[1].marker, 2);
    EXPECT_FALSE(got[1].tagged);
    EXPECT_EQ(got[2].sid, 9);
    EXPECT_EQ(got[2].marker, 4);
}

// Memberships follow the groups of the streams, with their source filters; a group stays
// joined while another stream still uses it.
TEST_F(RxRingTest, MembershipsFollowTheStreams) {
    RxRing ring;
    initRing(ring);
    const sockaddr_in include[] = {address("198.18.0.1", 0)};
    const sockaddr_in exclude[] = {address("198.18.0.9", 0), address("198.18.0.10", 0)};
    ring.addStream(5, address("239.1.1.1", 5000), 0, nullptr, 0, 0);
    ring.addStream(6, address("239.1.1.1", 5004), 0, include, 0, 0);  // a list but no count
    ring.addStream(7, address("239.1.1.2", 5002), 1, include, 1, 0);
    ring.addStream(8, address("239.1.1.4", 5006), 0, exclude, 2, 0);
    ring.addStream(10, address("198.18.0.2", 6000), 0, nullptr, 0, 0);  // unicast: no membership
    EXPECT_FALSE(log.contains("IGMP join failed"));
    EXPECT_FALSE(log.contains("MCAST_MSFILTER"));

    auto groups = [&] {
        std::string out;
        ns.exec("ip -4 maddr show dev " + veth.b, &out);
        return out;
    };
    auto filters = [&] {
        std::string out;
        ns.exec("cat /proc/net/mcfilter", &out);
        return out;
    };
    std::string joined = groups();
    for (const char* g : {"239.1.1.1", "239.1.1.2", "239.1.1.4"})
        EXPECT_NE(joined.find(std::string("inet  ") + g), std::string::npos) << g << "\n" << joined;
    const std::string sources = filters();
    // Index, device, group, source, include count, exclude count.
    EXPECT_NE(sources.find("0xef010102 0xc6120001      1      0"), std::string::npos) << sources;
    EXPECT_NE(sources.find("0xef010104 0xc6120009      0      1"), std::string::npos) << sources;
    EXPECT_NE(sources.find("0xef010104 0xc612000a      0      1"), std::string::npos) << sources;
    EXPECT_EQ(sources.find("0xef010101"), std::string::npos) << sources;

    ring.removeStream(5, address("239.1.1.1", 5000), 0);
    EXPECT_NE(groups().find("inet  239.1.1.1"), std::string::npos);
    ring.removeStream(6, address("239.1.1.1", 5004), 0);
    ring.removeStream(7, address("239.1.1.2", 5002), 0);
    ring.removeStream(10, address("198.18.0.2", 6000), 0);
    joined = groups();
    EXPECT_EQ(joined.find("inet  239.1.1.1"), std::string::npos) << joined;
    EXPECT_EQ(joined.find("inet  239.1.1.2"), std::string::npos) << joined;
    EXPECT_NE(joined.find("inet  239.1.1.4"), std::string::npos) << joined;
    EXPECT_FALSE(log.contains("MCAST_LEAVE_GROUP"));
}

TEST_F(RxRingTest, RefusesSidsOutsideTheTable) {
    RxRing ring;
    initRing(ring);
    for (unsigned sid : {0u, 64u}) {
        EXPECT_EQ(ring.addStream(sid, address("239.1.1.1", 5000), 0, nullptr, 0, 0), -1);
        EXPECT_EQ(ring.removeStream(sid, address("239.1.1.1", 5000), 0), -1);
    }
    EXPECT_EQ(log.count("SID out of HW-limited range", google::GLOG_ERROR), 4);
    EXPECT_TRUE(log.contains("BPF filter \"less 1\""));
    EXPECT_FALSE(log.contains("BPF filter \"udp"));
}

// A transmit ring on the peer sends a PCR-timed stream; the receive ring stamps each frame when
// it arrives. Every frame leaves at its PCR time plus the delay, on the receive clock.
TEST_F(RxRingTest, TransmitRingPacesFramesByPcr) {
    RxRing rx;
    initRing(rx);
    rx.addStream(3, address("239.1.1.1", 1234), 0, nullptr, 0, 0);

    TxRing tx;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(tx.init(279, net::getIfIndex(veth.a), static_cast<long long>(realtime::nic_tsc_offset())), 0);
    ::testing::internal::GetCapturedStdout();
    unsigned char header[42];
    ASSERT_EQ(net::makeUdpHeader(veth.a, "239.1.1.1", 188, header), 42);
    tx.fillHeaders(header, sizeof(header));
    tx.setPcrPid(0x100);

    // 100 ms of a stream with one packet per millisecond and a PCR every tenth; arrival times
    // follow the PCR clock, as if the packets had just come in.
    constexpr unsigned PACKETS = 101;
    const uint64_t t0 = realtimeNs();
    for (unsigned k = 0; k < PACKETS; ++k) {
        unsigned char p[188];
        memset(p, 0xFF, sizeof(p));
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = 0x10;
        if (k % 10 == 0) {
            const unsigned long long base = 90000ull + k * 90;  // 90 kHz, one per ms
            p[3] = 0x30;
            p[4] = 7;
            p[5] = 0x10;
            p[6] = static_cast<unsigned char>(base >> 25);
            p[7] = static_cast<unsigned char>(base >> 17);
            p[8] = static_cast<unsigned char>(base >> 9);
            p[9] = static_cast<unsigned char>(base >> 1);
            p[10] = static_cast<unsigned char>((base & 1) << 7 | 0x7E);
            p[11] = 0;
        }
        p[12] = static_cast<unsigned char>(k);
        tx.eqnueueTs(t0 + k * 1000000ull, p);
    }
    const uint64_t delay_ns = tx.getDelay() * 20;

    // The machine is shared with builds: a real-time policy keeps the loop from being
    // descheduled for whole time slices, which would show up as lateness that is not ours.
    struct RealTime {
        RealTime() {
            sched_param p{};
            p.sched_priority = 10;
            active = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
        }
        ~RealTime() {
            sched_param p{};
            if (active)
                pthread_setschedparam(pthread_self(), SCHED_OTHER, &p);
        }
        bool active;
    } real_time;
    std::vector<std::pair<uint64_t, unsigned>> arrivals;  // stamp, packet number
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    while (std::chrono::steady_clock::now() < end && arrivals.size() < PACKETS) {
        tx.transmitIfReady(realtime::get_tsc());
        frame_map* f = nullptr;
        if (rx.peek(f) == 3) {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(f) + f->tp_mac;
            EXPECT_EQ(f->tp_len, 230u);
            EXPECT_EQ(memcmp(bytes, header, 42), 0);
            arrivals.emplace_back(static_cast<uint64_t>(f->tp_sec) * 1000000000u + f->tp_nsec,
                                  bytes[42 + 12]);
            rx.pop();
        }
    }
    ASSERT_EQ(arrivals.size(), PACKETS);
    long long worst = 0;
    for (unsigned k = 0; k < PACKETS; ++k) {
        EXPECT_EQ(arrivals[k].second, k);
        const long long late = static_cast<long long>(arrivals[k].first - (t0 + k * 1000000ull + delay_ns));
        worst = std::max(worst, std::llabs(late));
    }
    EXPECT_LT(worst, 2000000);
    printf("largest deviation from the schedule: %lld ns\n", worst);
    EXPECT_FALSE(log.contains("kernel too slow"));
}

}  // namespace

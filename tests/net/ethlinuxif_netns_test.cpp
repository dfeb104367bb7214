// The engine on veths inside a namespace made by the test: which interfaces init takes, what
// the stream operations refuse, and an input stream routed to an output while the engine
// thread runs, until the stream is deleted.
#include <arpa/inet.h>
#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logcapture.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "net/netutils.h"
#include "testbed.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct EngineTest : ::testing::Test {
    EngineTest() : enter(ns) {
        ns.must("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
        for (int i = 0; i < 3; ++i) {
            veths.push_back(testbed::connect(ns, ns));
            ns.addAddress(veths.back().a, "198.18." + std::to_string(i) + ".1/24");
            ns.addAddress(veths.back().b, "198.18." + std::to_string(i) + ".2/24");
        }
    }
    // Engine output (ring set-up lines) stays out of the test's output.
    int init(EthLinuxIf& engine, const std::vector<std::string>& rx, const std::vector<std::string>& tx) {
        ::testing::internal::CaptureStdout();
        const int result = engine.init(rx, tx);
        ::testing::internal::GetCapturedStdout();
        return result;
    }

    testbed::Namespace ns{"engine"};
    std::vector<testbed::Veth> veths;
    testbed::EnterNamespace enter;
    LogCapture log;
};

TEST_F(EngineTest, InitTakesTheFirstTwoUsableReceiveInterfaces) {
    {
        auto engine = std::make_unique<EthLinuxIf>();
        ASSERT_EQ(init(*engine, {"eth9", veths[0].b}, {veths[2].a}), 0);
        EXPECT_TRUE(log.contains("interface \"eth9\" ignored", google::GLOG_WARNING));
        EXPECT_TRUE(log.contains("interface \"" + veths[0].b + "\" index "));
        EXPECT_EQ(engine->getRxRingCount(), 1u);
        EXPECT_EQ(engine->getRxRing(0).getName(), veths[0].b);
        EXPECT_GE(engine->inject_sock, 0);
        // Every output has its ring, stream or not.
        for (unsigned i = 0; i < EthLinuxIf::OUTPUT_COUNT; ++i) {
            EXPECT_EQ(engine->getTxRing(i).getSid(), 256 + i);
            EXPECT_GE(engine->getTxRing(i).getSocket(), 0);
        }
    }
    {
        auto engine = std::make_unique<EthLinuxIf>();
        log.clear();
        ASSERT_EQ(init(*engine, {veths[0].b, veths[1].b, veths[2].b}, {veths[2].a}), 0);
        EXPECT_EQ(engine->getRxRingCount(), 2u);
        EXPECT_EQ(engine->getRxRing(1).getName(), veths[1].b);
        EXPECT_FALSE(log.contains("interface \"" + veths[2].b + "\""));
    }
}

// A symbolic link planted where a transmit ring keeps its history is refused, not followed.
TEST_F(EngineTest, HistoryFilesAreNotOpenedThroughSymbolicLinks) {
    char tmpl[] = "/tmp/engine_victim.XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "precious\n", 9), 9);
    close(fd);
    const std::string planted = "/tmp/sid_279.log";
    unlink(planted.c_str());
    ASSERT_EQ(symlink(tmpl, planted.c_str()), 0);
    {
        auto engine = std::make_unique<EthLinuxIf>();
        ASSERT_EQ(init(*engine, {veths[0].b}, {veths[2].a}), 0);
    }
    EXPECT_TRUE(log.contains("OUT SID 279: cannot open /tmp/sid_279.log", google::GLOG_ERROR));
    EXPECT_FALSE(log.contains("OUT SID 278: cannot open"));
    char content[16] = {};
    FILE* f = fopen(tmpl, "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fread(content, 1, sizeof(content) - 1, f), 9u);
    fclose(f);
    EXPECT_STREQ(content, "precious\n");
    unlink(planted.c_str());
    unlink(tmpl);
}

TEST_F(EngineTest, InitRefusals) {
    struct Case {
        std::vector<std::string> rx, tx;
        const char* line;
    };
    const Case cases[] = {
        {{}, {veths[2].a}, "at least one input and output interfaces must be specified"},
        {{veths[0].b}, {}, "at least one input and output interfaces must be specified"},
        {{"eth9", "eth8"}, {veths[2].a}, "at least one valid input interface required"},
        {{veths[0].b}, {veths[1].a, veths[2].a}, "only one output interface is supported"},
        {{veths[0].b}, {"eth9"}, "interface \"eth9\" ignored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        auto engine = std::make_unique<EthLinuxIf>();
        log.clear();
        EXPECT_EQ(init(*engine, c.rx, c.tx), -1);
        EXPECT_TRUE(log.contains(c.line, google::GLOG_WARNING)) << log.text();
    }
    auto engine = std::make_unique<EthLinuxIf>();
    ASSERT_EQ(init(*engine, {veths[0].b}, {veths[2].a}), 0);
    EXPECT_EQ(init(*engine, {veths[0].b}, {veths[2].a}), -1);
}

TEST_F(EngineTest, StreamOperationRefusals) {
    auto engine = std::make_unique<EthLinuxIf>();
    ASSERT_EQ(init(*engine, {veths[0].b}, {veths[2].a}), 0);
    log.clear();
    for (unsigned sid : {0u, 64u})
        EXPECT_EQ(engine->addInputStream(sid, veths[0].b, "239.1.1.1", 5000, 0, {}, 0), -1);
    for (unsigned sid : {255u, 280u})
        EXPECT_EQ(engine->addOutputStream(sid, veths[2].a, "239.2.2.2"), -1);
    EXPECT_EQ(log.count("SID out of HW-limited range", google::GLOG_ERROR), 4);

    EXPECT_EQ(engine->addInputStream(5, veths[1].b, "239.1.1.1", 5000, 0, {}, 0), -1);
    EXPECT_TRUE(log.contains("interface \"" + veths[1].b + "\" not exists", google::GLOG_WARNING));
    EXPECT_EQ(engine->addInputStream(5, veths[0].b, "239.1.1", 5000, 0, {}, 0), -1);
    EXPECT_TRUE(log.contains("inet_pton", google::GLOG_WARNING));
    EXPECT_EQ(engine->deleteInputStream(5), -1);
    EXPECT_TRUE(log.contains("SID 5 not registered", google::GLOG_ERROR));
    EXPECT_EQ(engine->getHandler(5), &engine->discard_delegate);

    // No header without an IPv4 address on the interface: the output stays silent.
    ns.must("ip addr flush dev " + veths[1].a);
    EXPECT_EQ(engine->addOutputStream(257, veths[1].a, "239.2.2.2"), -1);
    EXPECT_TRUE(log.contains("cannot get IP address for " + veths[1].a, google::GLOG_ERROR));
    EXPECT_FALSE(engine->hasOutputHeader(257));
    TsPacket* p = engine->dvbAlloc();
    memset(p->data, 0x47, 188);
    EXPECT_EQ(engine->dvbInject(257, p), -1);
    EXPECT_TRUE(log.contains("SID 257 has no output header, PSI/SI packet not sent", google::GLOG_ERROR));

    // The stream whose address is the saveinput flag is the one recorded.
    const std::string saved = FLAGS_saveinput;
    FLAGS_saveinput = "239.1.1.9";
    EXPECT_EQ(engine->addInputStream(6, veths[0].b, "239.1.1.8", 5000, 0, {}, 0), 0);
    EXPECT_EQ(engine->getSaveSid(), -1);
    EXPECT_EQ(engine->addInputStream(7, veths[0].b, "239.1.1.9", 5000, 0, {"198.18.0.1", "bad"}, 0), 0);
    EXPECT_EQ(engine->getSaveSid(), 7);
    FLAGS_saveinput = saved;
}

// Frames sent to an input stream are routed to the output by the engine thread; once the
// stream is deleted, its routes are gone and its frames are discarded.
TEST_F(EngineTest, RoutedWhileRegisteredDiscardedAfterDeletion) {
    auto engine = std::make_unique<EthLinuxIf>();
    ASSERT_EQ(init(*engine, {veths[0].b}, {veths[1].a}), 0);
    ASSERT_EQ(engine->addOutputStream(256, veths[1].a, "239.2.2.2"), 0);
    ASSERT_EQ(engine->addInputStream(5, veths[0].b, "239.1.1.1", 5000, 0, {}, 0), 0);
    EXPECT_TRUE(log.contains(veths[0].b + ": created input stream 239.1.1.1:5000"));
    EXPECT_TRUE(log.contains(veths[1].a + ": created output stream 239.2.2.2"));
    EXPECT_EQ(engine->getHandler(5), &engine->analyse_delegate);
    ASSERT_EQ(engine->start(), 0);

    const int sender = socket(AF_PACKET, SOCK_RAW, 0);
    ASSERT_GE(sender, 0);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = net::getIfIndex(veths[0].a);
    to.sll_halen = 6;
    // The capture on the output's peer sees what the engine sends.
    const int capture = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = net::getIfIndex(veths[1].b);
    ASSERT_EQ(bind(capture, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);

    unsigned counter = 0;
    auto sendFrames = [&](unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            Bytes f(42 + 7 * 188, 0x00);
            EXPECT_EQ(net::makeUdpHeader(veths[0].a, "239.1.1.1", 7 * 188, f.data()), 42);
            f[36] = 5000 >> 8;
            f[37] = 5000 & 0xFF;
            for (unsigned k = 0; k < 7; ++k) {
                uint8_t* p = f.data() + 42 + 188 * k;
                p[0] = 0x47;
                p[1] = 0x01;
                p[2] = 0x00;
                p[3] = static_cast<uint8_t>(0x10 | (counter & 0x0F));
                p[4] = static_cast<uint8_t>(counter++);
            }
            memcpy(to.sll_addr, f.data(), 6);
            EXPECT_GT(sendto(sender, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    auto received = [&](int ms) {
        unsigned n = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        uint8_t buf[2048];
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t len = recv(capture, buf, sizeof(buf), 0);
            if (len == 230 && buf[42] == 0x47 && buf[43] == 0x01 && buf[44] == 0x00)
                ++n;
            else if (len < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return n;
    };

    // Detection first: its frame is not forwarded.
    sendFrames(1);
    for (int i = 0; i < 100 && engine->getHandler(5) != &engine->dissector_delegates[7]; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(engine->getHandler(5), &engine->dissector_delegates[7]);
    EXPECT_TRUE(log.contains("SID 5 detected TS 7x188 at offset 42"));
    engine->takeRingBytes(0);
    ASSERT_EQ(engine->setPidAction(5, 0x100, 256), 0);
    sendFrames(10);
    // Without a PCR PID the ring spaces packets 2.2 ms apart.
    EXPECT_EQ(received(500), 70u);
    EXPECT_EQ(engine->takeRingBytes(0), 10u * (42 + 7 * 188));
    EXPECT_EQ(engine->takeStreamBytes(5), 10u * 7 * 188);
    EXPECT_EQ(engine->takePidBytes(5, 0x100), 10u * 7 * 188);

    ASSERT_EQ(engine->deleteInputStream(5), 0);
    EXPECT_EQ(engine->getHandler(5), &engine->discard_delegate);
    for (int pid : {0, 0x100})
        EXPECT_EQ(engine->getPidAction(5, pid), 0u) << pid;
    sendFrames(5);
    EXPECT_EQ(received(200), 0u);
    EXPECT_EQ(engine->takeStreamBytes(5), 0u);
    engine->stop();
    close(sender);
    close(capture);
}

}  // namespace

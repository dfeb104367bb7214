// The engine's tables as the multiplexers use them before (and while) the rings run: PID
// actions, PCR PIDs, the injection pool and the injection of generated packets.
#include "net/linux_pf_packet/ethlinuxif.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>

#include "logcapture.h"

namespace {

size_t word(unsigned sid, int pid) {
    return (static_cast<size_t>(sid) << 13) + static_cast<size_t>(pid);
}

TEST(EthLinuxIf, TablesAreReadyAndEmptyBeforeInit) {
    EthLinuxIf engine;
    ASSERT_NE(engine.stream_pid_map, nullptr);
    ASSERT_NE(engine.pid_byte_counters, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.stream_pid_map) % 32, 0u);
    size_t nonzero = 0;
    for (size_t i = 0; i < EthLinuxIf::TABLE_WORDS; ++i) {
        nonzero += engine.stream_pid_map[i] != 0;
        nonzero += engine.pid_byte_counters[i] != 0;
    }
    EXPECT_EQ(nonzero, 0u);
    EXPECT_EQ(engine.inject_sock, -1);
    for (unsigned sid = 256; sid < 280; ++sid) {
        EXPECT_EQ(engine.getPcrPid(sid), -1);
        EXPECT_FALSE(engine.hasOutputHeader(sid));
    }
}

TEST(EthLinuxIf, PidActionsSetAndClearSingleBits) {
    EthLinuxIf engine;
    LogCapture log;
    struct Case {
        int pid;
        unsigned target;
        uint32_t mask;
        const char* line;
    };
    const Case cases[] = {
        {0x100, 257, 0x00000002, "setPidAction(5, 256, 257) 00000002"},
        {0, 0x80000000u, 0x80000000, "setPidAction(5, 0, 2147483648) 80000000"},
        {0x100, 279, 0x00800000, "setPidAction(5, 256, 279) 00800000"},
        {0x100, 256, 0x00000001, "setPidAction(5, 256, 256) 00000001"},
        {0x1FFF, 3, 0x00000008, "setPidAction(5, 8191, 3) 00000008"},
    };
    for (const Case& c : cases) {
        const uint32_t before = engine.stream_pid_map[word(5, c.pid)];
        EXPECT_EQ(engine.setPidAction(5, c.pid, c.target), 0);
        EXPECT_EQ(engine.stream_pid_map[word(5, c.pid)], before | c.mask) << c.line;
        EXPECT_TRUE(log.contains(c.line)) << log.text();
    }
    EXPECT_EQ(engine.getPidAction(5, 0x100), 0x00800003u);
    // Setting twice is harmless and one clear withdraws it.
    EXPECT_EQ(engine.setPidAction(5, 0x100, 257), 0);
    EXPECT_EQ(engine.clearPidAction(5, 0x100, 257), 0);
    EXPECT_TRUE(log.contains("clearPidAction(5, 256, 257) 00000002"));
    EXPECT_EQ(engine.getPidAction(5, 0x100), 0x00800001u);
    EXPECT_EQ(engine.clearPidAction(5, 0, 0x80000000u), 0);
    EXPECT_EQ(engine.getPidAction(5, 0), 0u);
    // Neighbouring inputs and PIDs are untouched.
    EXPECT_EQ(engine.getPidAction(4, 0x100), 0u);
    EXPECT_EQ(engine.getPidAction(6, 0x100), 0u);
    EXPECT_EQ(engine.getPidAction(5, 0x101), 0u);
}

TEST(EthLinuxIf, RefusesWhatLiesOutsideTheTables) {
    EthLinuxIf engine;
    LogCapture log;
    struct Case {
        unsigned sid;
        int pid;
        unsigned target;
    };
    // SID 0 and 64, PIDs outside 13 bits, targets past ring 23 (280 is ring 24, 511 would shift
    // by 255) and a bit that names nothing.
    const Case cases[] = {{0, 0x100, 256}, {64, 0x100, 256}, {5, -1, 256},           {5, 8192, 256},
                          {5, 0x100, 280}, {5, 0x100, 511},  {5, 0x100, 0x40000000}, {1000, 0, 0x80000000u}};
    for (const Case& c : cases) {
        EXPECT_EQ(engine.setPidAction(c.sid, c.pid, c.target), -1)
            << c.sid << " " << c.pid << " " << c.target;
        EXPECT_EQ(engine.clearPidAction(c.sid, c.pid, c.target), -1);
    }
    EXPECT_EQ(log.count("refused", google::GLOG_ERROR), 16);
    size_t nonzero = 0;
    for (size_t i = 0; i < EthLinuxIf::TABLE_WORDS; ++i) {
        nonzero += engine.stream_pid_map[i] != 0;
    }
    EXPECT_EQ(nonzero, 0u);
}

// The Muxer's receive thread and the housekeeper route PIDs of the same input at the same time;
// a plain read-modify-write would lose or resurrect the other thread's bit. The window is a few
// nanoseconds, so the thread-sanitizer build is what catches a plain update every time.
TEST(EthLinuxIf, ConcurrentUpdatesOfOneWordLoseNothing) {
    EthLinuxIf engine;
    const int32_t saved = FLAGS_minloglevel;
    FLAGS_minloglevel = google::GLOG_ERROR;
    ASSERT_EQ(engine.setPidAction(9, 0x200, 0x80000000u), 0);
    std::atomic<int> wrong{0};
    auto worker = [&](unsigned target, uint32_t mask) {
        for (int i = 0; i < 20000; ++i) {
            engine.setPidAction(9, 0x200, target);
            if ((engine.getPidAction(9, 0x200) & mask) == 0) {
                ++wrong;
            }
            engine.clearPidAction(9, 0x200, target);
            if ((engine.getPidAction(9, 0x200) & mask) != 0) {
                ++wrong;
            }
        }
    };
    std::thread a(worker, 256u, 0x1u);
    std::thread b(worker, 257u, 0x2u);
    a.join();
    b.join();
    FLAGS_minloglevel = saved;
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(engine.getPidAction(9, 0x200), 0x80000000u);
}

TEST(EthLinuxIf, PcrPidIsKeptPerOutput) {
    EthLinuxIf engine;
    LogCapture log;
    EXPECT_EQ(engine.setPcrPid(257, 0x100), 0);
    EXPECT_TRUE(log.contains("SID 257 PCR pid set to 256"));
    EXPECT_EQ(engine.getPcrPid(257), 0x100);
    EXPECT_EQ(engine.getPcrPid(256), -1);
    EXPECT_EQ(engine.setPcrPid(279, 0x1FFF), 0);
    EXPECT_EQ(engine.getPcrPid(279), 0x1FFF);
    // No PCR yet (-1 from a program without PMT) is kept as it is.
    EXPECT_EQ(engine.setPcrPid(257, static_cast<unsigned>(-1)), 0);
    EXPECT_EQ(engine.getPcrPid(257), -1);
    EXPECT_EQ(engine.setPcrPid(280, 0x100), -1);
    EXPECT_EQ(engine.getPcrPid(280), -1);
}

TEST(EthLinuxIf, InjectionPoolHoldsThousandPackets) {
    EthLinuxIf engine;
    std::set<TsPacket*> seen;
    for (unsigned i = 0; i < EthLinuxIf::INJECT_POOL_SIZE; ++i) {
        TsPacket* p = engine.dvbAlloc();
        ASSERT_NE(p, nullptr) << i;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p->data) % 64, 0u);
        seen.insert(p);
    }
    EXPECT_EQ(seen.size(), EthLinuxIf::INJECT_POOL_SIZE);
    EXPECT_EQ(engine.dvbAlloc(), nullptr);
    // Injection gives the packet back even when it cannot be sent.
    TsPacket* p = *seen.begin();
    EXPECT_EQ(engine.dvbInject(256, p), -1);
    EXPECT_EQ(engine.dvbAlloc(), p);
}

class Injection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
        engine.inject_sock = sv[0];
        for (unsigned i = 0; i < EthLinuxIf::HEADER_LEN; ++i) {
            header[i] = static_cast<unsigned char>(0xA0 + i);
        }
    }
    void TearDown() override {
        close(sv[0]);
        close(sv[1]);
    }
    TsPacket* packet(unsigned char fill) {
        TsPacket* p = engine.dvbAlloc();
        memset(p->data, fill, TS_PACKET_SIZE);
        p->data[0] = 0x47;
        return p;
    }
    // Bytes of the next frame on the wire side, or -1 when none is waiting.
    ssize_t receive(unsigned char* frame, size_t room) { return recv(sv[1], frame, room, MSG_DONTWAIT); }

    EthLinuxIf engine;
    int sv[2] = {-1, -1};
    unsigned char header[EthLinuxIf::HEADER_LEN];
};

TEST_F(Injection, FrameIsTheOutputHeaderFollowedByThePacket) {
    ASSERT_EQ(engine.setOutputHeader(258, header, sizeof header), 0);
    EXPECT_TRUE(engine.hasOutputHeader(258));
    EXPECT_EQ(engine.dvbInject(258, packet(0x5A)), 0);
    unsigned char frame[512];
    ASSERT_EQ(receive(frame, sizeof frame), static_cast<ssize_t>(EthLinuxIf::FRAME_LEN));
    EXPECT_EQ(memcmp(frame, header, sizeof header), 0);
    EXPECT_EQ(frame[42], 0x47);
    for (unsigned i = 43; i < EthLinuxIf::FRAME_LEN; ++i) {
        ASSERT_EQ(frame[i], 0x5A) << i;
    }
    EXPECT_EQ(receive(frame, sizeof frame), -1);
}

// An output whose header was never built (its stream failed to be added, or not yet) would send
// frames with an all-zero Ethernet/IP header: nothing leaves, and the packet is not lost.
TEST_F(Injection, NothingIsSentWithoutAnOutputHeader) {
    ASSERT_EQ(engine.setOutputHeader(258, header, sizeof header), 0);
    LogCapture log;
    for (unsigned sid : {257u, 259u, 300u, 5u}) {
        EXPECT_EQ(engine.dvbInject(sid, packet(0x11)), -1) << sid;
    }
    unsigned char frame[512];
    EXPECT_EQ(receive(frame, sizeof frame), -1);
    EXPECT_EQ(log.count("has no output header, PSI/SI packet not sent", google::GLOG_ERROR), 1);
    unsigned n = 0;
    while (engine.dvbAlloc() != nullptr) {
        ++n;
    }
    EXPECT_EQ(n, EthLinuxIf::INJECT_POOL_SIZE);

    EXPECT_EQ(engine.setOutputHeader(259, header, 41), -1);
    EXPECT_EQ(engine.setOutputHeader(255, header, sizeof header), -1);
    EXPECT_EQ(engine.setOutputHeader(280, header, sizeof header), -1);
    EXPECT_FALSE(engine.hasOutputHeader(259));
}

TEST_F(Injection, NothingIsSentBeforeTheSocketExists) {
    ASSERT_EQ(engine.setOutputHeader(256, header, sizeof header), 0);
    engine.inject_sock = -1;
    LogCapture log;
    EXPECT_EQ(engine.dvbInject(256, packet(0x22)), -1);
    EXPECT_TRUE(log.contains("SID 256 injection socket not open", google::GLOG_ERROR));
    unsigned char frame[512];
    EXPECT_EQ(receive(frame, sizeof frame), -1);
}

}  // namespace

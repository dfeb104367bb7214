// The Muxer's two threads with real demultiplexers, output multiplexers and the engine's
// injection path (a datagram socket pair stands in for the transmit interface).
#include "dvb/muxer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "dvb/inputmux.h"
#include "dvb/outputmux.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;
using std::chrono::milliseconds;

// PAT packets of one section with continuity counters 0, 1, 2, ...
std::vector<Bytes> patPackets(int count) {
    const Bytes pat = psisi_test::longSection(0x00, 0x42, 1, {0x00, 0x01, 0xE1, 0x00});
    std::vector<Bytes> packets;
    for (int i = 0; i < count; ++i) {
        packets.push_back(psisi_test::packetise(pat, 0x00, i % 16).at(0));
    }
    return packets;
}

uint64_t heartbeats(InputMux& mux) {
    std::lock_guard<std::recursive_mutex> guard(mux.lock);
    return mux.heartbeats;
}

size_t queued(Muxer& m) {
    std::lock_guard<std::mutex> guard(m.rx_mutex);
    return m.rx_queue.size();
}

void waitUntilDrained(Muxer& m) {
    for (int i = 0; i < 500 && queued(m) != 0; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    // The last packet taken is dispatched under the input lock.
    std::lock_guard<std::mutex> guard(m.input_lock);
}

class MuxerTest : public ::testing::Test {
  protected:
    void SetUp() override { psisi_test::initCrc(); }
};

TEST_F(MuxerTest, SilentInputsGetAHeartbeatEveryHundredMilliseconds) {
    Muxer m;
    InputMux a(20);
    InputMux b(21);
    a.restart();
    m.registerInputMux(&a);
    m.registerInputMux(&b);
    LogCapture log(google::GLOG_ERROR);
    m.start();
    std::this_thread::sleep_for(milliseconds(2350));
    m.stop();
    // 100 ms per receive timeout: about 23 each (fewer on a loaded machine, never more).
    EXPECT_GE(heartbeats(a), 15u);
    EXPECT_LE(heartbeats(a), 24u);
    EXPECT_EQ(heartbeats(b), heartbeats(a));
    // The heartbeats ran PAT supervision: no PAT for more than 2 s.
    EXPECT_EQ(a.alarm, "PAT repetition interval exceeded 2s");
    EXPECT_EQ(log.count("IM 20 no PAT for "), 1);
}

TEST_F(MuxerTest, SilentInputIsTickedAfterEveryPacketOfOthers) {
    Muxer m;
    InputMux busy(22);
    InputMux silent(23);
    busy.restart();
    m.registerInputMux(&busy);
    m.registerInputMux(&silent);
    m.start();
    const std::vector<Bytes> packets = patPackets(60);
    for (const Bytes& p : packets) {
        m.input(22, p.data(), static_cast<unsigned>(p.size()));
        std::this_thread::sleep_for(milliseconds(20));
    }
    waitUntilDrained(m);
    m.stop();
    // The busy input never waited 100 ms, so there was no receive timeout; the silent one was
    // ticked after each packet of the busy one once it had been silent for 100 ms.
    EXPECT_LE(heartbeats(busy), 2u);  // a sleep stretched past 100 ms by a loaded machine
    EXPECT_GE(heartbeats(silent), 40u);
    EXPECT_LE(heartbeats(silent), 60u);
    ASSERT_EQ(busy.pats.size(), 1u);
    EXPECT_EQ(busy.pats[0].programs.at(1), 0x100);
}

TEST_F(MuxerTest, FullPoolDropsWhatItCannotHoldAndDeliversTheRestInOrder) {
    Muxer m;
    InputMux in(24);
    in.restart();
    m.registerInputMux(&in);
    LogCapture log(google::GLOG_WARNING);
    const std::vector<Bytes> packets = patPackets(1001);
    for (const Bytes& p : packets) {
        m.input(24, p.data(), static_cast<unsigned>(p.size()));
    }
    EXPECT_EQ(queued(m), Muxer::RX_POOL_SIZE);
    EXPECT_EQ(log.count("PSI/SI receive pool empty"), 1);

    m.start();
    waitUntilDrained(m);
    m.stop();
    EXPECT_EQ(queued(m), 0u);
    // Continuity counters 0..15 in turn: any reordering would show as a discontinuity.
    EXPECT_EQ(log.count("CC discontinuity"), 0);
    EXPECT_EQ(log.count("duplicate"), 0);
    ASSERT_EQ(in.pats.size(), 1u);

    // Every packet went back to the pool.
    for (int i = 0; i < 1000; ++i) {
        m.input(24, packets[0].data(), 188);
    }
    EXPECT_EQ(log.count("PSI/SI receive pool empty"), 1);
}

TEST_F(MuxerTest, PacketsOfUnregisteredInputsAreReturned) {
    Muxer m;
    InputMux gone(25);
    gone.restart();
    m.registerInputMux(&gone);
    const std::vector<Bytes> packets = patPackets(2);
    m.input(25, packets[0].data(), 188);
    m.input(26, packets[1].data(), 188);
    m.unregisterInputmux(25);
    m.unregisterInputmux(40);  // unknown: nothing happens

    LogCapture log(google::GLOG_ERROR);
    m.start();
    waitUntilDrained(m);
    m.stop();
    EXPECT_EQ(log.count("SID 25 not registered"), 1);
    EXPECT_EQ(log.count("SID 26 not registered"), 1);
    EXPECT_TRUE(gone.pats.empty());
    EXPECT_EQ(heartbeats(gone), 0u);
    EXPECT_TRUE(m.input_muxes.empty());
    EXPECT_TRUE(m.last_tick.empty());
}

TEST_F(MuxerTest, TransmitThreadInjectsTheDueTablesOfEveryOutput) {
    EthLinuxIf& engine = EthLinuxIf::getInstance();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    unsigned char header[EthLinuxIf::HEADER_LEN];
    for (unsigned i = 0; i < sizeof header; ++i) {
        header[i] = static_cast<unsigned char>(i);
    }
    ASSERT_EQ(engine.setOutputHeader(264, header, sizeof header), 0);
    engine.inject_sock = sv[0];

    Muxer m;
    OutputMux out(264);
    OutputMux headless(265);  // its stream was never added to the engine
    out.init();
    headless.init();
    m.registerOutputMux(&out);
    m.registerOutputMux(&headless);
    m.start();
    struct Frame {
        std::chrono::steady_clock::time_point when;
        int pid;
    };
    std::vector<Frame> frames;
    const auto end = std::chrono::steady_clock::now() + milliseconds(1200);
    while (std::chrono::steady_clock::now() < end) {
        unsigned char frame[512];
        const ssize_t n = recv(sv[1], frame, sizeof frame, MSG_DONTWAIT);
        if (n < 0) {
            std::this_thread::sleep_for(milliseconds(2));
            continue;
        }
        ASSERT_EQ(n, static_cast<ssize_t>(EthLinuxIf::FRAME_LEN));
        ASSERT_EQ(memcmp(frame, header, sizeof header), 0);
        ASSERT_EQ(frame[42], 0x47);
        frames.push_back({std::chrono::steady_clock::now(), ((frame[43] & 0x1F) << 8) | frame[44]});
    }
    m.stop();
    engine.inject_sock = -1;
    close(sv[0]);
    close(sv[1]);

    // PAT and SDT at once and then every 500 ms: three of each in 1.2 s.
    std::vector<std::chrono::steady_clock::time_point> pat;
    int sdt = 0;
    for (const Frame& f : frames) {
        if (f.pid == 0x00) {
            pat.push_back(f.when);
        } else {
            EXPECT_EQ(f.pid, 0x11);
            ++sdt;
        }
    }
    ASSERT_EQ(pat.size(), 3u);
    EXPECT_EQ(sdt, 3);
    for (size_t i = 1; i < pat.size(); ++i) {
        const auto gap = std::chrono::duration_cast<milliseconds>(pat[i] - pat[i - 1]).count();
        EXPECT_GE(gap, 480);
        EXPECT_LE(gap, 650);
    }
    // Nothing of the output without header left, and no packet was lost on its way.
    std::vector<TsPacket*> pool;
    while (TsPacket* p = engine.dvbAlloc()) {
        pool.push_back(p);
    }
    EXPECT_EQ(pool.size(), EthLinuxIf::INJECT_POOL_SIZE);
    for (TsPacket* p : pool) {
        engine.dvbInject(265, p);
    }
}

TEST_F(MuxerTest, SingletonIsOneInstance) {
    EXPECT_EQ(&Muxer::getInstance(), &Muxer::getInstance());
    EXPECT_TRUE(Muxer::getInstance().input_muxes.empty());
}

}  // namespace

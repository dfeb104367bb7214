// The transmit schedule, driven without a kernel ring: slots in memory, a clock set by the test,
// and the test clearing released slots where the kernel would.
#include "net/linux_pf_packet/txring.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "logcapture.h"
#include "utils.h"

namespace {

constexpr unsigned long long MS = 50000;  // ticks
constexpr unsigned long long START = 1000000000ull;
constexpr int PCR_PID = 0x100;
constexpr unsigned SID = 256;

unsigned long long fake_now = START;
uint64_t fakeClock() {
    return fake_now;
}

using Packet = std::array<unsigned char, 188>;

Packet esPacket(int pid) {
    Packet p;
    p.fill(0xAB);
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>(pid >> 8);
    p[2] = static_cast<unsigned char>(pid);
    p[3] = 0x10;
    return p;
}

// Adaptation field carrying `pcr27` (27 MHz units).
Packet pcrPacket(int pid, unsigned long long pcr27, bool discontinuity = false) {
    Packet p = esPacket(pid);
    const unsigned long long base = pcr27 / 300, ext = pcr27 % 300;
    p[3] = 0x30;
    p[4] = 7;
    p[5] = static_cast<unsigned char>(0x10 | (discontinuity ? 0x80 : 0));
    p[6] = static_cast<unsigned char>(base >> 25);
    p[7] = static_cast<unsigned char>(base >> 17);
    p[8] = static_cast<unsigned char>(base >> 9);
    p[9] = static_cast<unsigned char>(base >> 1);
    p[10] = static_cast<unsigned char>((base & 1) << 7 | 0x7E | ext >> 8);
    p[11] = static_cast<unsigned char>(ext);
    return p;
}

struct FlagSaver {
    ~FlagSaver() {
        FLAGS_tx_delay = tx_delay;
        FLAGS_non_pcr_interframe_gap = gap;
    }
    int tx_delay = FLAGS_tx_delay;
    int gap = FLAGS_non_pcr_interframe_gap;
};

struct TxRingTest : ::testing::Test {
    TxRingTest() {
        char tmpl[] = "/tmp/txring_test.XXXXXX";
        dir = mkdtemp(tmpl);
        fake_now = START;
    }
    ~TxRingTest() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    // A ring whose receive clock (ns / 20) equals the time base: arrival ms m is tick START + m.
    std::unique_ptr<TxRing> makeRing(unsigned slots = TxRing::SLOTS) {
        auto ring = std::make_unique<TxRing>();
        ring->setClock(&fakeClock);
        EXPECT_EQ(ring->initInMemory(SID, 0, logPath(), slots), 0);
        return ring;
    }
    std::string logPath() const { return dir + "/sid_256.log"; }
    static unsigned long long arrivalNs(unsigned long long ms) { return (START + ms * MS) * 20; }

    // A PCR packet whose PCR and arrival both read `ms` milliseconds after the start.
    static void pcrAt(TxRing& ring, unsigned long long ms, bool discontinuity = false) {
        ring.eqnueueTs(arrivalNs(ms), pcrPacket(PCR_PID, 1000000 + ms * 27000, discontinuity).data());
    }
    static void esAt(TxRing& ring, unsigned long long ms) {
        ring.eqnueueTs(arrivalNs(ms), esPacket(0x101).data());
    }
    // The kernel's part: released frames are sent and their slots become free again.
    static void kernelSends(TxRing& ring) {
        for (unsigned i = 0; i < ring.getSlots(); ++i) {
            if (ring.slot(i)->tp_status == TP_STATUS_SEND_REQUEST)
                ring.slot(i)->tp_status = TP_STATUS_AVAILABLE;
        }
    }
    int logLines() const {
        std::ifstream in(logPath());
        int n = 0;
        for (std::string line; std::getline(in, line);)
            ++n;
        return n;
    }

    std::string dir;
    FlagSaver flags;
    LogCapture log;
};

TEST_F(TxRingTest, DelayIsTheFlagPlusASpreadRedrawnAtEachReset) {
    auto ring = makeRing();
    EXPECT_GE(ring->getDelay(), 7500000u);
    EXPECT_LE(ring->getDelay(), 7525000u);
    EXPECT_TRUE(log.contains("OUT SID 256 delay " + std::to_string(ring->getDelay()) + " (" +
                             std::to_string(ring->getDelay() / 50) + " us)"));
    FLAGS_tx_delay = 100;
    ring->reset();
    EXPECT_GE(ring->getDelay(), 5000000u);
    EXPECT_LE(ring->getDelay(), 5025000u);
    std::ifstream in(logPath());
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "# now send_time usage");
}

TEST_F(TxRingTest, HeaderAndLengthWrittenIntoEverySlot) {
    auto ring = makeRing();
    std::array<unsigned char, 42> header;
    for (unsigned i = 0; i < header.size(); ++i)
        header[i] = static_cast<unsigned char>(0xC0 + i);
    ring->fillHeaders(header.data(), header.size());
    for (unsigned i : {0u, 1u, 2047u, 4095u}) {
        const frame_map* f = ring->slot(i);
        EXPECT_EQ(f->tp_len, 230u);
        EXPECT_EQ(memcmp(reinterpret_cast<const unsigned char*>(f) + 32, header.data(), 42), 0) << i;
    }
    // The packet goes behind the header, which stays.
    ring->setPcrPid(PCR_PID);
    esAt(*ring, 0);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(ring->slot(0));
    EXPECT_EQ(memcmp(bytes + 32, header.data(), 42), 0);
    EXPECT_EQ(memcmp(bytes + 74, esPacket(0x101).data(), 188), 0);
}

// Packets between two PCR packets are spread evenly (truncating division) between their times.
TEST_F(TxRingTest, InterpolatesBetweenPcrSlots) {
    struct Case {
        unsigned between;  // packets between the two PCR packets
        unsigned long long ms;
    };
    for (const Case c : {Case{9, 10}, Case{2, 10}, Case{0, 40}, Case{20, 7}}) {
        SCOPED_TRACE(c.between);
        auto ring = makeRing();
        ring->setPcrPid(PCR_PID);
        esAt(*ring, 0);  // before any PCR: untimed
        pcrAt(*ring, 0);
        // The first PCR after a reset times only its own slot.
        const unsigned long long first = ring->getSendTime(1);
        EXPECT_EQ(first, START + ring->getDelay());
        EXPECT_EQ(ring->getLastPcrIdx(), 1);
        for (unsigned k = 0; k < c.between; ++k)
            esAt(*ring, k * c.ms / (c.between + 1));
        for (unsigned k = 0; k <= c.between; ++k)
            EXPECT_EQ(ring->getSendTime(2 + k), 0u);
        pcrAt(*ring, c.ms);
        const unsigned n = c.between + 1;
        const unsigned long long second = ring->getSendTime(1 + n);
        EXPECT_EQ(second - first, c.ms * MS);
        const long long step = static_cast<long long>(second - first) / n;
        for (unsigned k = 1; k < n; ++k)
            EXPECT_EQ(ring->getSendTime(1 + k), first + k * step) << "slot " << 1 + k;
        EXPECT_EQ(ring->getSendTime(0), 0u);
        EXPECT_EQ(ring->getLastPcrIdx(), static_cast<int>(1 + n));
    }
}

// Counted across the end of the ring: the distance wraps.
TEST_F(TxRingTest, InterpolatesAcrossTheEndOfTheRing) {
    auto ring = makeRing(16);
    ring->setPcrPid(PCR_PID);
    FLAGS_non_pcr_interframe_gap = 0;
    for (unsigned k = 0; k < 12; ++k)
        esAt(*ring, 0);
    ring->transmitIfReady(START);
    kernelSends(*ring);
    ASSERT_EQ(ring->getSendIdx(), 12u);
    pcrAt(*ring, 0);  // slot 12
    for (unsigned k = 0; k < 5; ++k)
        esAt(*ring, 1);  // slots 13, 14, 15, 0, 1
    pcrAt(*ring, 12);    // slot 2
    ASSERT_EQ(ring->getLastPcrIdx(), 2);
    const unsigned long long first = ring->getSendTime(12);
    const unsigned long long step = 12 * MS / 6;
    unsigned k = 1;
    for (unsigned slot : {13u, 14u, 15u, 0u, 1u})
        EXPECT_EQ(ring->getSendTime(slot), first + k++ * step) << "slot " << slot;
    EXPECT_EQ(ring->getSendTime(2), first + 12 * MS);
}

// Only packets of the PCR PID whose adaptation field carries a PCR time the schedule.
TEST_F(TxRingTest, OnlyRealPcrPacketsOfThePcrPidAreTimed) {
    struct Case {
        const char* what;
        Packet packet;
        bool timed;
    };
    Packet no_flag = pcrPacket(PCR_PID, 27000000);
    no_flag[5] = 0x00;
    Packet empty_field = pcrPacket(PCR_PID, 27000000);
    empty_field[4] = 0;
    Packet no_field = pcrPacket(PCR_PID, 27000000);
    no_field[3] = 0x10;
    const Case cases[] = {
        {"PCR of another PID", pcrPacket(0x101, 27000000), false},
        {"adaptation field without PCR flag", no_flag, false},
        {"adaptation field of length 0", empty_field, false},
        {"no adaptation field", no_field, false},
        {"PCR of the PCR PID", pcrPacket(PCR_PID, 27000000), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto ring = makeRing();
        ring->setPcrPid(PCR_PID);
        ring->eqnueueTs(arrivalNs(0), c.packet.data());
        EXPECT_EQ(ring->getLastPcrIdx(), c.timed ? 0 : -1);
        EXPECT_EQ(ring->getSendTime(0) != 0, c.timed);
        EXPECT_EQ(ring->getFill(), 1u);
    }
}

// A new PCR PID, the discontinuity indicator and a send time too far ahead each start the
// filter over; the last also sends the packet at once.
TEST_F(TxRingTest, FilterRestarts) {
    auto ring = makeRing();
    ring->setPcrPid(PCR_PID);
    pcrAt(*ring, 0);
    EXPECT_EQ(log.count("reset PCR sync"), 1);
    pcrAt(*ring, 10);
    // Naming the same PID again keeps the time line: a packet 3 ms late is still timed on it.
    ring->setPcrPid(PCR_PID);
    ring->eqnueueTs(arrivalNs(13), pcrPacket(PCR_PID, 1000000 + 10 * 27000).data());
    EXPECT_EQ(log.count("reset PCR sync"), 1);
    EXPECT_EQ(ring->getSendTime(2), START + 10 * MS + ring->getDelay());
    // A new PID starts it over: the packet's own arrival is the new base.
    ring->setPcrPid(0x1FF);
    ring->eqnueueTs(arrivalNs(23), pcrPacket(0x1FF, 1000000 + 20 * 27000).data());
    EXPECT_EQ(log.count("reset PCR sync"), 2);
    EXPECT_EQ(ring->getSendTime(3), START + 23 * MS + ring->getDelay());
    ring->setPcrPid(PCR_PID);
    pcrAt(*ring, 20);
    EXPECT_EQ(log.count("reset PCR sync"), 3);
    EXPECT_EQ(ring->getSendTime(4), START + 20 * MS + ring->getDelay());

    // PCR jumps back by 5 s but the packet says so: no backward-PCR restart, a resync.
    ring->eqnueueTs(arrivalNs(30), pcrPacket(PCR_PID, 1000, true).data());
    EXPECT_TRUE(log.contains("SID 256: PCR discontinuity flag set, resync"));
    EXPECT_FALSE(log.contains("backward PCR"));
    EXPECT_EQ(ring->getSendTime(5), START + 30 * MS + ring->getDelay());

    // Arrival 3 delays ahead of the clock: more than twice the delay ahead, sent at once.
    const unsigned long long delay = ring->getDelay();
    fake_now = START + 40 * MS - 2 * delay;
    pcrAt(*ring, 40, true);
    EXPECT_TRUE(log.contains(utils::string_format("SID 256: delay %lli (%lli us) > %llu, reset",
                                                  static_cast<long long>(3 * delay),
                                                  static_cast<long long>(3 * delay / 50), 2 * delay)));
    EXPECT_EQ(ring->getSendTime(6), 0u);
    EXPECT_EQ(ring->getLastPcrIdx(), 6);
}

// Without a PCR PID every packet is due one gap (in microseconds x 50) after the previous.
TEST_F(TxRingTest, WithoutPcrPidPacketsAreSpacedByTheGap) {
    for (int gap : {2200, 1000}) {
        FLAGS_non_pcr_interframe_gap = gap;
        auto ring = makeRing();
        for (unsigned k = 0; k < 4; ++k)
            esAt(*ring, k);
        const unsigned long long step = 50ull * gap;
        EXPECT_EQ(step, gap == 2200 ? 110000u : 50000u);
        for (unsigned k = 0; k < 4; ++k)
            EXPECT_EQ(ring->getSendTime(k), START + (k + 1) * step) << gap << " slot " << k;
    }
}

// Due slots go to the kernel in order, never before their time, one per inter-frame gap.
TEST_F(TxRingTest, ReleasesDueSlotsNoFasterThanTheGap) {
    auto ring = makeRing();
    ring->setPcrPid(PCR_PID);
    pcrAt(*ring, 0);
    for (unsigned k = 0; k < 9; ++k)
        esAt(*ring, 0);
    pcrAt(*ring, 10);
    const unsigned long long t0 = ring->getSendTime(0);
    ASSERT_EQ(ring->getFill(), 11u);

    ring->transmitIfReady(t0 - 1);
    EXPECT_EQ(ring->getSendIdx(), 0u);
    EXPECT_EQ(ring->slot(0)->tp_status, static_cast<uint32_t>(TP_STATUS_AVAILABLE));
    ring->transmitIfReady(t0);
    EXPECT_EQ(ring->getSendIdx(), 1u);
    EXPECT_EQ(ring->slot(0)->tp_status, static_cast<uint32_t>(TP_STATUS_SEND_REQUEST));
    EXPECT_EQ(ring->getFill(), 10u);

    // All ten are due, but a call releases one and the next must wait a gap (2200 ticks).
    const unsigned long long late = t0 + 20 * MS;
    ring->transmitIfReady(late);
    EXPECT_EQ(ring->getSendIdx(), 2u);
    ring->transmitIfReady(late + 2199);
    EXPECT_EQ(ring->getSendIdx(), 2u);
    ring->transmitIfReady(late + 2200);
    EXPECT_EQ(ring->getSendIdx(), 3u);

    // Without a gap one call releases everything that is due.
    FLAGS_non_pcr_interframe_gap = 0;
    ring->transmitIfReady(late + 2200);
    EXPECT_EQ(ring->getSendIdx(), 11u);
    EXPECT_EQ(ring->getFill(), 0u);
    for (unsigned i = 0; i < 11; ++i)
        EXPECT_EQ(ring->slot(i)->tp_status, static_cast<uint32_t>(TP_STATUS_SEND_REQUEST)) << i;
    EXPECT_EQ(ring->slot(11)->tp_status, static_cast<uint32_t>(TP_STATUS_AVAILABLE));
    ring->transmitIfReady(late + MS);
    EXPECT_EQ(ring->getSendIdx(), 11u);
}

// A full queue (4095 packets) drops the packet and clears the schedule: what is queued goes out
// at once, at the gap rate.
TEST_F(TxRingTest, FullQueueResetsTheSchedule) {
    auto ring = makeRing();
    ring->setPcrPid(PCR_PID);
    for (unsigned k = 0; k < 4095; ++k) {
        fake_now = START + k / 10 * MS;
        if (k % 100 == 0)
            pcrAt(*ring, k / 10);
        else
            esAt(*ring, k / 10);
    }
    ASSERT_EQ(ring->getFill(), 4095u);
    ASSERT_GE(ring->getLastPcrIdx(), 0);
    ASSERT_GT(ring->getSendTime(1000), START);
    const int lines_before = logLines();

    fake_now = START;
    esAt(*ring, 500);
    EXPECT_EQ(ring->getFill(), 4095u);
    EXPECT_EQ(ring->getWriteIdx(), 4095u);
    EXPECT_EQ(log.count("SID 256 TXQ full, reset", google::GLOG_WARNING), 1);
    EXPECT_EQ(ring->getLastPcrIdx(), -1);
    for (unsigned i = 0; i < TxRing::SLOTS; ++i)
        ASSERT_EQ(ring->getSendTime(i), 0u) << i;
    EXPECT_GE(ring->getDelay(), 7500000u);
    EXPECT_LE(ring->getDelay(), 7525000u);
    // The history went to the log file.
    EXPECT_EQ(logLines(), lines_before + static_cast<int>(TxRing::SAMPLES));

    unsigned long long now = START;
    ring->transmitIfReady(now);
    ring->transmitIfReady(now);
    EXPECT_EQ(ring->getSendIdx(), 1u);
    for (unsigned k = 2; k <= 5; ++k) {
        now += 2200;
        ring->transmitIfReady(now);
        EXPECT_EQ(ring->getSendIdx(), k);
    }
}

// A queue that runs dry after PCR timing began grows the delay by 50 ms at a time, up to 0.5 s.
TEST_F(TxRingTest, EmptyQueueGrowsTheDelay) {
    auto ring = makeRing();
    ring->setPcrPid(PCR_PID);
    // Empty before any PCR: nothing to learn from.
    esAt(*ring, 0);
    ring->transmitIfReady(START);
    kernelSends(*ring);
    esAt(*ring, 0);
    EXPECT_FALSE(log.contains("TXQ empty"));

    pcrAt(*ring, 0);
    unsigned long long now = START;
    const unsigned long long initial = ring->getDelay();
    unsigned long long expected = initial;
    bool first_at_maximum = true;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        // Drain everything that is queued.
        now += 2 * expected;
        while (ring->getFill() > 0) {
            now += 2200;
            ring->transmitIfReady(now);
        }
        kernelSends(*ring);
        log.clear();
        esAt(*ring, 0);
        if (expected < TxRing::MAX_DELAY) {
            expected += TxRing::DELAY_STEP;
            EXPECT_TRUE(log.contains("TXQ empty, new delay " + std::to_string(expected)));
            EXPECT_TRUE(log.contains("SID 256 TX queue got empty. Buffer increased", google::GLOG_WARNING));
        } else {
            EXPECT_FALSE(log.contains("TXQ empty, new delay"));
            // Rate-limited: the first of every hundred is logged.
            EXPECT_EQ(
                log.contains("SID 256 TX queue got empty. Maximum buffer reached", google::GLOG_WARNING),
                first_at_maximum);
            first_at_maximum = false;
        }
        EXPECT_EQ(ring->getDelay(), expected);
    }
    EXPECT_EQ(expected, initial + 7 * TxRing::DELAY_STEP);
    // The next PCR is timed afresh behind the grown delay.
    pcrAt(*ring, 100);
    EXPECT_EQ(ring->getSendTime(ring->getWriteIdx() - 1), START + 100 * MS + expected);
}

// A slot the kernel still holds is not overwritten; the history is written at most three times.
TEST_F(TxRingTest, SlotStillHeldByTheKernelDropsThePacket) {
    auto ring = makeRing(16);
    FLAGS_non_pcr_interframe_gap = 0;
    ring->setPcrPid(PCR_PID);
    for (unsigned k = 0; k < 15; ++k)
        esAt(*ring, 0);
    ring->transmitIfReady(START);
    ASSERT_EQ(ring->getSendIdx(), 15u);
    esAt(*ring, 0);  // slot 15 was never released
    ASSERT_EQ(ring->getWriteIdx(), 0u);
    ASSERT_EQ(logLines(), 1);
    for (int event = 1; event <= 4; ++event) {
        esAt(*ring, 0);
        EXPECT_EQ(ring->getWriteIdx(), 0u);
        EXPECT_EQ(ring->getFill(), 1u);
        EXPECT_EQ(logLines(), 1 + std::min(event, 3) * static_cast<int>(TxRing::SAMPLES));
    }
    EXPECT_EQ(log.count("SID 256 kernel too slow", google::GLOG_WARNING), 1);
    // Once the kernel lets go, packets are queued again.
    kernelSends(*ring);
    esAt(*ring, 0);
    EXPECT_EQ(ring->getWriteIdx(), 1u);
}

// The history file is never opened through a symbolic link; the ring works without it.
TEST_F(TxRingTest, HistoryFileIsNotOpenedThroughASymbolicLink) {
    const std::string victim = dir + "/victim";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(symlink(victim.c_str(), logPath().c_str()), 0);
    auto ring = makeRing(16);
    EXPECT_TRUE(log.contains("OUT SID 256: cannot open " + logPath(), google::GLOG_ERROR));
    // Events that write history pass quietly.
    FLAGS_non_pcr_interframe_gap = 0;
    for (unsigned k = 0; k < 16; ++k)
        esAt(*ring, 0);
    std::ifstream in(victim);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "precious");
}

}  // namespace

#include "net/linux_pf_packet/tsudpfifo.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "logcapture.h"

// Stands in for the side that writes packets into the FIFO, which the FIFO leaves to its owner.
class TsUdpFifoWriter {
  public:
    explicit TsUdpFifoWriter(TsUdpFifo& fifo) : fifo_(fifo) {}
    void placeAt(unsigned idx) { fifo_.ts_wr_idx = idx % TsUdpFifo::SLOTS; }
    void setFill(unsigned n) { fifo_.fill = n; }
    void setUdpIndices(unsigned rd, unsigned wr) {
        fifo_.udp_rd_idx = rd;
        fifo_.udp_wr_idx = wr;
    }

  private:
    TsUdpFifo& fifo_;
};

namespace {

constexpr long long TSC_OFFSET = 777;

// A TS packet with an adaptation field carrying `pcr27` (27 MHz units).
std::array<unsigned char, 188> pcrPacket(unsigned long long pcr27, bool discontinuity = false) {
    std::array<unsigned char, 188> p{};
    p.fill(0xFF);
    unsigned long long base = pcr27 / 300, ext = pcr27 % 300;
    p[0] = 0x47;
    p[1] = 0x01;
    p[2] = 0x00;
    p[3] = 0x30;
    p[4] = 183;
    p[5] = 0x10 | (discontinuity ? 0x80 : 0);
    p[6] = static_cast<unsigned char>(base >> 25);
    p[7] = static_cast<unsigned char>(base >> 17);
    p[8] = static_cast<unsigned char>(base >> 9);
    p[9] = static_cast<unsigned char>(base >> 1);
    p[10] = static_cast<unsigned char>((base & 1) << 7 | 0x7E | ext >> 8);
    p[11] = static_cast<unsigned char>(ext);
    return p;
}

struct TsUdpFifoTest : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(fifo.init(256, TSC_OFFSET), 0);
        unsigned char header[42];
        for (unsigned i = 0; i < sizeof(header); ++i)
            header[i] = static_cast<unsigned char>(i + 1);
        fifo.fillUpdHeaders(header, sizeof(header));
    }
    // PCR packet at `slot` with PCR time `pcr_ms` and arrival `arrival_ms` (both milliseconds).
    void pcrAt(unsigned slot, unsigned long long pcr_ms, unsigned long long arrival_ms, bool disc = false) {
        writer.placeAt(slot);
        auto p = pcrPacket(pcr_ms * 27000, disc);
        fifo.doSomethingWithPcr(arrival_ms * 1000000, p.data());
    }
    long long expectedFirst(unsigned long long arrival_ms) const {
        return static_cast<long long>(arrival_ms * 50000) + TSC_OFFSET +
               static_cast<long long>(fifo.getDelay());
    }
    TsUdpFifo fifo;
    TsUdpFifoWriter writer{fifo};
};

TEST_F(TsUdpFifoTest, SetUpDrawsTheDelayAndFillsEverySlotHeader) {
    EXPECT_GE(fifo.getDelay(), 3750000u);
    EXPECT_LE(fifo.getDelay(), 3775000u);
    for (unsigned slot : {0u, 1u, 1000u, 2047u}) {
        const unsigned char* s = fifo.getSlot(slot);
        EXPECT_EQ(s[0], 1);
        EXPECT_EQ(s[41], 42);
        EXPECT_EQ(s[42], 0);
    }
    EXPECT_EQ(fifo.getStatsString(), "OUT SID 256 buffer usage 0% skew = 0");
}

TEST_F(TsUdpFifoTest, FirstPcrOnlyStampsItsOwnSlot) {
    pcrAt(10, 1000, 5000);
    EXPECT_EQ(fifo.getSendTime(10), expectedFirst(5000));
    for (unsigned slot = 0; slot < TsUdpFifo::SLOTS; ++slot) {
        if (slot != 10) {
            ASSERT_EQ(fifo.getSendTime(slot), 0) << slot;
        }
    }
}

TEST_F(TsUdpFifoTest, SlotsBetweenTwoPcrsAreSpreadEvenly) {
    struct Case {
        unsigned first, second, steps;
    };
    // Ten slots apart; adjacent (nothing between); the same slot a whole turn later (the
    // difference to the previous PCR is spread over 2048 steps, not lost because that PCR's own
    // slot is stamped first); across the end of the buffer.
    for (Case c : {Case{10, 20, 10}, Case{30, 31, 1}, Case{5, 5, 2048}, Case{2040, 3, 11}}) {
        SCOPED_TRACE(::testing::Message() << c.first << " -> " << c.second);
        fifo.reset();
        pcrAt(c.first, 1000, 5000);
        pcrAt(c.second, 1040, 5040);
        const long long out = fifo.getSendTime(c.second);
        const long long first_out = expectedFirst(5000);
        EXPECT_EQ(out, first_out + 40 * 50000);
        const long long inc = (out - first_out) / static_cast<long long>(c.steps);
        unsigned timed = 0;
        for (unsigned k = 1; k < c.steps; ++k) {
            ASSERT_EQ(fifo.getSendTime((c.first + k) % TsUdpFifo::SLOTS), first_out + k * inc) << k;
            ++timed;
        }
        EXPECT_EQ(timed, c.steps - 1);
    }
}

TEST_F(TsUdpFifoTest, DiscontinuityRestartsTheFilterBeforeItsPcr) {
    LogCapture log;
    pcrAt(0, 1000, 5000);
    pcrAt(1, 1040, 5041);
    // A PCR that jumps ahead, flagged as a discontinuity: timed from its own arrival.
    pcrAt(2, 900000, 5080, true);
    EXPECT_EQ(fifo.getSendTime(2), expectedFirst(5080));
    EXPECT_TRUE(log.contains("SID 256: PCR discontinuity flag set, resync"));
}

TEST_F(TsUdpFifoTest, UsagePercentageTruncates) {
    struct Case {
        unsigned fill;
        const char* percent;
    };
    for (Case c : {Case{20, "0%"}, Case{21, "1%"}, Case{1024, "50%"}, Case{2047, "99%"}}) {
        writer.setFill(c.fill);
        EXPECT_EQ(fifo.getStatsString(), std::string("OUT SID 256 buffer usage ") + c.percent + " skew = 0");
    }
}

TEST_F(TsUdpFifoTest, DumpStateShowsIndices) {
    LogCapture log;
    writer.setUdpIndices(7, 6);
    writer.placeAt(9);
    fifo.dumpState();
    EXPECT_TRUE(log.contains(
        "\nisEmptyTs()=0, isEmptyUdp()=0, isFullTs()=1\nudp_wr_idx=6, ts_wr_idx=9, udp_rd_idx=7"))
        << log.text();
}

// A header longer than a slot must not spill past the end of the buffer (the address
// sanitizer build shows an overrun).
TEST_F(TsUdpFifoTest, OversizedHeaderStaysInsideItsSlot) {
    std::array<unsigned char, 300> big;
    big.fill(0xAB);
    fifo.fillUpdHeaders(big.data(), big.size());
    EXPECT_EQ(fifo.getSlot(0)[255], 0xAB);
    EXPECT_EQ(fifo.getSlot(2047)[255], 0xAB);
}

}  // namespace

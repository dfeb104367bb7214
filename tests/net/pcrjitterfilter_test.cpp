#include "net/linux_pf_packet/pcrjitterfilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "logcapture.h"
#include "utils.h"

namespace {

constexpr long long MS = 50000;  // ticks per millisecond
constexpr unsigned long long T0 = 1000000000000ull;
constexpr unsigned long long PCR0 = 123456789ull;
// 2^33 * 300 PCR units in ticks, what a real 33-bit PCR wraps at.
constexpr unsigned long long TRUE_WRAP = 4772185884444ull;

struct Filter : PcrJitterFilter {
    Filter() {
        init(300, 0);
        reset(0);
    }
    // PCR sample k of a stream with one PCR every `cadence` ticks, arriving `jitter` ticks off
    // the PCR clock.
    long long sample(unsigned k, long long cadence, long long jitter) {
        return calculateSkew(PCR0 + k * cadence, T0 + k * cadence + jitter);
    }
};

TEST(PcrJitterFilter, FirstCallAfterResetReturnsItsArrival) {
    Filter f;
    EXPECT_EQ(f.calculateSkew(PCR0, T0), static_cast<long long>(T0));
    f.sample(1, 20 * MS, 3 * MS);
    f.reset(0);
    EXPECT_EQ(f.calculateSkew(7, 555), 555);
    EXPECT_EQ(f.getSkew(), 0);
    EXPECT_TRUE(f.isFilling());
}

TEST(PcrJitterFilter, ArrivalsOnThePcrClockGiveThePcrLine) {
    Filter f;
    // Past filling (251 samples) and well into sliding.
    for (unsigned k = 0; k < 1000; ++k) {
        ASSERT_EQ(f.sample(k, 20 * MS, 0), static_cast<long long>(T0 + k * 20 * MS)) << "sample " << k;
    }
    EXPECT_EQ(f.getSkew(), 0);
    EXPECT_FALSE(f.isFilling());
    EXPECT_EQ(f.getStatsString(), "skew = 0");
}

// Filling ends at 5 s of PCR time or at 511 samples, whichever comes first; the skew is then
// the smallest lateness seen.
TEST(PcrJitterFilter, FillingCompletesAtFiveSecondsOrFullWindow) {
    struct Case {
        long long cadence;
        unsigned completing_sample;  // counted from 1
    };
    for (Case c : {Case{20 * MS, 251}, Case{5 * MS, 511}}) {
        SCOPED_TRACE(c.cadence);
        Filter f;
        LogCapture log;
        long long smallest = 0;
        for (unsigned k = 0; k < c.completing_sample; ++k) {
            ASSERT_TRUE(f.isFilling()) << "sample " << k;
            long long jitter = k == 0 ? 0 : static_cast<long long>((k * 7919) % 4001) - 2000;
            smallest = std::min(smallest, jitter);
            f.sample(k, c.cadence, jitter);
        }
        EXPECT_FALSE(f.isFilling());
        EXPECT_EQ(f.getSize(), c.completing_sample);
        EXPECT_EQ(f.getSkew(), smallest);
        EXPECT_TRUE(log.contains(utils::string_format(
            "SID 300: filling complete, window size %u, initial skew %lld", c.completing_sample, smallest)));
    }
}

// At w = 50 (half of the 5 s filling time) the skew moves a quarter of the way towards the
// window minimum.
TEST(PcrJitterFilter, HalfwayThroughFillingSkewMovesAQuarter) {
    Filter f;
    const long long cadence = 20 * MS;
    // Lateness that drops early so that skew and minimum differ when w reaches 50.
    auto jitter = [](unsigned k) -> long long {
        return k == 0 ? 0 : k < 10 ? -40000 : k == 125 ? -90000 : 0;
    };
    for (unsigned k = 0; k < 125; ++k)
        f.sample(k, cadence, jitter(k));
    const long long before = f.getSkew();
    ASSERT_NE(before, -40000);
    f.sample(125, cadence, jitter(125));  // dP = 2.5 s: w = 50
    EXPECT_EQ(f.getMin(), -90000);
    EXPECT_EQ(f.getSkew(), (-90000 * 2500 + before * 7500) / 10000);
}

TEST(PcrJitterFilter, WrapExtendsThePcrAndOutputKeepsRising) {
    Filter f;
    LogCapture log;
    const long long cadence = 40 * MS;
    long long previous = -1;
    for (unsigned k = 0; k < 20; ++k) {
        unsigned long long pcr = (TRUE_WRAP - 10 * cadence + k * cadence) % TRUE_WRAP;
        long long out = f.calculateSkew(pcr, T0 + k * cadence);
        EXPECT_GT(out, previous) << "sample " << k;
        previous = out;
    }
    EXPECT_EQ(f.getPcrOffset(), 4772185884996ull);
    EXPECT_EQ(log.count("PCR wrap"), 1);
    EXPECT_EQ(log.count("time jump"), 0);
    EXPECT_EQ(log.count("backward"), 0);
}

// Anomalies that restart the filter on the current pair: the output is that pair's arrival.
TEST(PcrJitterFilter, BackwardPcrAndTimeJumpRestart) {
    struct Case {
        const char* line;
        long long pcr_step;  // PCR change from the previous sample
        long long late;      // extra arrival delay of the sample
    };
    for (Case c : {Case{"backward PCR", -1000 * MS, 0}, Case{"time jump, resync", 20 * MS, 150 * MS}}) {
        SCOPED_TRACE(c.line);
        Filter f;
        LogCapture log;
        for (unsigned k = 0; k < 300; ++k)
            f.sample(k, 20 * MS, (k % 3) * 1000);
        ASSERT_FALSE(f.isFilling());
        const unsigned long long pcr = PCR0 + 299 * 20 * MS + c.pcr_step;
        const unsigned long long arrival = T0 + 300 * 20 * MS + c.late;
        EXPECT_EQ(f.calculateSkew(pcr, arrival), static_cast<long long>(arrival));
        EXPECT_EQ(log.count(c.line), 1);
        EXPECT_TRUE(f.isFilling());
        EXPECT_EQ(f.getSkew(), 0);
        // The restarted filter follows the PCR clock from the new pair.
        EXPECT_EQ(f.calculateSkew(pcr + 20 * MS, arrival + 20 * MS),
                  static_cast<long long>(arrival + 20 * MS));
    }
}

// PCR packets of one datagram share an arrival time: no new sample, the output follows the PCR.
TEST(PcrJitterFilter, PcrsOfOneDatagramLeaveTheWindowAlone) {
    Filter f;
    for (unsigned k = 0; k < 300; ++k)
        f.sample(k, 20 * MS, k % 2 == 0 ? 0 : -3000);
    const long long skew = f.getSkew();
    const long long min = f.getMin();
    const unsigned size = f.getSize();
    const unsigned long long arrival = T0 + 300 * 20 * MS + 1000;
    const long long first = f.calculateSkew(PCR0 + 300 * 20 * MS, arrival);
    const long long skew_after_first = f.getSkew();
    for (unsigned j = 1; j <= 6; ++j) {
        long long out = f.calculateSkew(PCR0 + 300 * 20 * MS + j * 30000, arrival);
        EXPECT_EQ(out, first + j * 30000);
        EXPECT_EQ(out, static_cast<long long>(T0 + 300 * 20 * MS + j * 30000) + skew_after_first);
    }
    EXPECT_EQ(f.getSkew(), skew_after_first);
    EXPECT_EQ(f.getSize(), size);
    EXPECT_EQ(f.getMin(), min);
    (void)skew;
}

// A sudden pull of the skew late in filling would move the output back in time: it is held.
TEST(PcrJitterFilter, OutputNeverGoesBackwards) {
    Filter f;
    LogCapture log;
    const long long cadence = 1 * MS;
    long long previous = 0;
    for (unsigned k = 0; k < 480; ++k) {
        long long out = f.sample(k, cadence, k == 400 ? -4900000 : 0);
        ASSERT_GE(out, previous) << "sample " << k;
        previous = out;
    }
    EXPECT_TRUE(log.contains("backward out_time"));
}

// Arrival jitter of +-10 ms on a 40 ms PCR cadence: once filling is complete, the output lies
// within 1 ms of the line through the fastest possible arrivals.
TEST(PcrJitterFilter, RemovesArrivalJitter) {
    const long long cadence = 40 * MS;
    const long long spread = 10 * MS;
    const long long latency = 5 * MS;
    for (unsigned seed : {1u, 2u, 3u, 42u, 2024u}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 random(seed);
        std::uniform_int_distribution<long long> jitter(-spread, spread);
        Filter f;
        long long worst_before = 0, worst_after = 0;
        unsigned filled_at = 0;
        for (unsigned k = 0; k < 1500; ++k) {  // 60 s
            long long out = f.calculateSkew(PCR0 + k * cadence, T0 + latency + k * cadence + jitter(random));
            long long ideal = static_cast<long long>(T0) + latency - spread + k * cadence;
            long long deviation = std::llabs(out - ideal);
            if (f.isFilling()) {
                worst_before = std::max(worst_before, deviation);
            } else {
                if (filled_at == 0)
                    filled_at = k;
                worst_after = std::max(worst_after, deviation);
            }
        }
        EXPECT_EQ(filled_at, 125u);  // the sample at 5 s of PCR time
        EXPECT_LT(worst_after, 1 * MS);
        EXPECT_GT(worst_before, worst_after);
    }
}

}  // namespace

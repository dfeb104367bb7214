#include "realtime.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "utils.h"

namespace {

int64_t realtime_ticks_now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec) / 20;
}

TEST(TimeBase, RunsAtFiftyMegahertz) {
    uint64_t ticks = realtime::tsc_calibrate();
    // One second of the monotonic clock; generous bounds for a loaded machine.
    EXPECT_GT(ticks, 49000000u);
    EXPECT_LT(ticks, 52000000u);
}

TEST(TimeBase, NeverGoesBackwards) {
    uint64_t prev_tsc = realtime::get_tsc(), prev_us = utils::now_us(), prev_ns = utils::now_ns();
    for (int i = 0; i < 100000; ++i) {
        uint64_t tsc = realtime::get_tsc(), us = utils::now_us(), ns = utils::now_ns();
        ASSERT_GE(tsc, prev_tsc);
        ASSERT_GE(us, prev_us);
        ASSERT_GE(ns, prev_ns);
        prev_tsc = tsc;
        prev_us = us;
        prev_ns = ns;
    }
    // The clocks agree with each other within a millisecond.
    EXPECT_LT(
        std::llabs(static_cast<long long>(utils::now_ns() / 1000) - static_cast<long long>(utils::now_us())),
        1000);
    EXPECT_LT(std::llabs(static_cast<long long>(realtime::get_tsc()) -
                         static_cast<long long>(utils::now_ns() / realtime::NS_PER_TICK)),
              50000);
}

// Without a PTP clock, received frames carry software timestamps of CLOCK_REALTIME; the offset
// must turn such a timestamp into time-base ticks.
TEST(TimeBase, NicOffsetWithoutPtpClockMatchesRealtimeTimestamps) {
    uint64_t offset = realtime::nic_tsc_offset("/nonexistent/ptp-clock");
    ASSERT_NE(offset, 0u);
    uint64_t stamped = static_cast<uint64_t>(realtime_ticks_now()) + offset;
    int64_t diff = static_cast<int64_t>(stamped - realtime::get_tsc());
    EXPECT_LT(std::llabs(diff), 50000)
        << "a software timestamp converted with the offset is " << diff << " ticks away from the time base";
}

TEST(TimeBase, DefaultDeviceGivesUsableOffset) {
    // On machines without /dev/ptp0 this takes the real-time path; on a board, the NIC clock.
    uint64_t offset = realtime::nic_tsc_offset();
    if (access("/dev/ptp0", R_OK) != 0) {
        int64_t diff =
            static_cast<int64_t>(static_cast<uint64_t>(realtime_ticks_now()) + offset - realtime::get_tsc());
        EXPECT_LT(std::llabs(diff), 50000);
    }
}

}  // namespace

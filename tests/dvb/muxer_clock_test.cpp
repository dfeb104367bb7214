// The Muxer's receive thread under a wall clock that steps backwards. This program stands in for
// the C library's wall clock: CLOCK_REALTIME reads, and the absolute CLOCK_REALTIME deadlines of
// condition-variable waits, are shifted by an offset the test sets, exactly as if the system
// clock had been stepped. The monotonic clock is left alone.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dvb/inputmux.h"
#include "dvb/muxer.h"
#include "psisi_test_support.h"

namespace {

// How far the wall clock has been set back, in seconds.
std::atomic<long> wall_clock_behind{0};

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

timespec toRealDeadline(const timespec* abstime) {
    timespec real = *abstime;
    real.tv_sec += wall_clock_behind.load();
    return real;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t clock, struct timespec* ts) {
    static auto real = next<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    const int r = real(clock, ts);
    if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        ts->tv_sec -= wall_clock_behind.load();
    }
    return r;
}

int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* abstime) {
    static auto real = next<int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*)>(
        "pthread_cond_clockwait");
    if (clock == CLOCK_REALTIME) {
        const timespec shifted = toRealDeadline(abstime);
        return real(cond, mutex, clock, &shifted);
    }
    return real(cond, mutex, clock, abstime);
}

int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* abstime) {
    static auto real =
        next<int (*)(pthread_cond_t*, pthread_mutex_t*, const struct timespec*)>("pthread_cond_timedwait");
    // Condition variables of this program use the default clock, CLOCK_REALTIME.
    const timespec shifted = toRealDeadline(abstime);
    return real(cond, mutex, &shifted);
}

}  // extern "C"

namespace {

TEST(MuxerWallClock, TheStandInStepsTheWallClockOnly) {
    const auto wall = std::chrono::system_clock::now();
    const auto steady = std::chrono::steady_clock::now();
    wall_clock_behind = 3600;
    EXPECT_LT(std::chrono::system_clock::now(), wall - std::chrono::minutes(59));
    EXPECT_GE(std::chrono::steady_clock::now(), steady);
    wall_clock_behind = 0;
    EXPECT_GE(std::chrono::system_clock::now(), wall);
}

// A backward step of the wall clock while the receive thread waits for packets must not stall
// its heartbeats, and with them PAT supervision and failover.
TEST(MuxerWallClock, HeartbeatsGoOnWhenTheWallClockStepsBack) {
    psisi_test::initCrc();
    Muxer m;
    InputMux in(30);
    m.registerInputMux(&in);
    m.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    wall_clock_behind = 3600;
    uint64_t before;
    {
        std::lock_guard<std::recursive_mutex> guard(in.lock);
        before = in.heartbeats;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    uint64_t after;
    {
        std::lock_guard<std::recursive_mutex> guard(in.lock);
        after = in.heartbeats;
    }
    m.stop();
    wall_clock_behind = 0;
    EXPECT_GE(after - before, 7u);
}

}  // namespace

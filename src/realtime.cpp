#include "realtime.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace realtime {

#if defined(__powerpc__) || defined(__PPC__)
uint64_t get_tsc() {
    uint32_t upper, lower, again;
    do {
        __asm__ __volatile__("mftbu %0" : "=r"(upper));
        __asm__ __volatile__("mftb %0" : "=r"(lower));
        __asm__ __volatile__("mftbu %0" : "=r"(again));
    } while (upper != again);
    return (static_cast<uint64_t>(upper) << 32) | lower;
}
#else
uint64_t get_tsc() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec)) / NS_PER_TICK;
}
#endif

uint64_t tsc_calibrate() {
    uint64_t start = get_tsc();
    struct timespec req = {1, 0};
    struct timespec rem;
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &rem) == EINTR) {
        req = rem;
    }
    return get_tsc() - start;
}

static uint64_t timespec_ticks(const struct timespec& ts) {
    return (static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec)) / NS_PER_TICK;
}

static clockid_t fd_to_clockid(int fd) {
    return static_cast<clockid_t>((~static_cast<unsigned>(fd) << 3) | 3);
}

uint64_t nic_tsc_offset(const char* ptp_device) {
    struct timespec ts;
    int fd = open(ptp_device, O_RDONLY);
    if (fd < 0) {
        PLOG(ERROR) << "open(" << ptp_device << ")";
        // Without the NIC clock, received frames carry software timestamps of the real-time
        // clock, so the offset that makes them agree with the time base is taken against it.
        clock_gettime(CLOCK_REALTIME, &ts);
        return get_tsc() - timespec_ticks(ts);
    }
    int rc = clock_gettime(fd_to_clockid(fd), &ts);
    int saved_errno = errno;
    close(fd);
    if (rc != 0) {
        errno = saved_errno;
        PLOG(ERROR) << "clock_gettime(" << ptp_device << ")";
        clock_gettime(CLOCK_REALTIME, &ts);
    }
    return get_tsc() - timespec_ticks(ts);
}

uint64_t nic_tsc_offset() {
    return nic_tsc_offset("/dev/ptp0");
}

}  // namespace realtime

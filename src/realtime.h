#pragma once

#include <cstdint>

namespace realtime {

// The time base ("TSC") is taken as exactly this many ticks per second everywhere.
constexpr uint64_t TSC_HZ = 50000000;
constexpr uint64_t NS_PER_TICK = 1000000000 / TSC_HZ;

// Reads the free-running 64-bit time base. On the PowerPC board this is the processor's time
// base register; elsewhere the raw monotonic clock scaled to 20 ns ticks stands in for it.
uint64_t get_tsc();

// Ticks of the time base during one second of the monotonic clock (as measured).
uint64_t tsc_calibrate();

// Offset that turns a receive timestamp, converted to ticks (ns / 20), into time-base ticks:
// tsc = ticks(timestamp) + offset. Timestamps come from the NIC's PTP clock when /dev/ptp0
// exists, otherwise they are software timestamps of CLOCK_REALTIME and the offset is taken
// against that clock.
uint64_t nic_tsc_offset();

// As above with an explicit PTP device path (for tests and boards with several clocks).
uint64_t nic_tsc_offset(const char* ptp_device);

}  // namespace realtime

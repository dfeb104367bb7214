#pragma once

#include <gflags/gflags.h>

#include <cstdint>
#include <string>

DECLARE_int32(pcr_verbose_sid);

// Removes network transit jitter from the PCR packets of one stream: the lateness of each PCR
// packet against the PCR clock (relative to a base pair) is sampled, the smallest lateness over
// a sliding window (the packets that crossed the network fastest) is smoothed into a skew, and
// the output time is base arrival + PCR time since the base + skew. All times are 50 MHz ticks.
// Integer arithmetic only, no allocation: it runs on the packet path.
class PcrJitterFilter {
  public:
    PcrJitterFilter();

    void init(unsigned int sid, unsigned int delay);
    // Starts over: the next call sets a new base pair and filling begins again.
    void reset(unsigned int delay);
    // Output time for a PCR (ticks, may have wrapped at 33 bits) that arrived at `arrival`.
    long long calculateSkew(unsigned long long pcr, unsigned long long arrival);
    // Moves the base pair; with `full` the window is refilled from scratch.
    void resync(unsigned long long arrival, unsigned long long pcr, bool full);
    std::string getStatsString() const;

    long long getSkew() const { return skew; }
    long long getMin() const { return min; }
    unsigned int getSize() const { return size; }
    bool isFilling() const { return filling; }
    unsigned long long getPcrOffset() const { return pcr_offset; }

    static constexpr unsigned long long UNSET = ~0ull;
    static constexpr unsigned int WINDOW = 511;

  private:
    void restart(unsigned long long arrival, unsigned long long pcr);
    bool verbose() const;

    unsigned long long wrap;
    unsigned int max_window;
    unsigned int fill_time;
    unsigned int sid = 0;
    unsigned int delay = 0;
    unsigned long long base_arrival = UNSET;
    unsigned long long last_arrival = UNSET;
    unsigned long long base_pcr = UNSET;
    unsigned long long prev_pcr = UNSET;
    unsigned long long prev_out = UNSET;
    long long skew = 0;
    unsigned long long pcr_offset = 0;
    bool filling = true;
    unsigned int fill_idx = 0;
    long long min = 0;
    unsigned int size = 0;
    long long window[WINDOW] = {};
};

#pragma once

#include <gflags/gflags.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "packet_ring.h"
#include "pcrjitterfilter.h"

DECLARE_int32(tx_verbose_sid);
DECLARE_int32(non_pcr_interframe_gap);
DECLARE_int32(tx_delay);

// Transmit path of one output stream: a TPACKET_V2 transmit ring bound to the transmit
// interface, one TS packet per 230-byte frame, and a schedule that gives every queued packet a
// send time. Packets of the stream's PCR PID are timed through the PCR jitter filter behind a
// constant delay; the packets between two PCR packets are spread evenly between their times.
// Everything but setPcrPid runs in the engine thread. Times are time-base ticks (50 MHz).
class TxRing {
  public:
    static constexpr unsigned int SLOTS = 4096;
    static constexpr unsigned int SLOT_SIZE = 512;
    static constexpr unsigned int FRAME_LEN = 230;
    static constexpr unsigned int HEADER_LEN = 42;
    static constexpr unsigned int SAMPLES = 32768;
    static constexpr unsigned int SAMPLE_EVERY = 100;
    static constexpr unsigned long long NONE = ~0ull;
    static constexpr unsigned long long MAX_DELAY = 25000000;  // 0.5 s
    static constexpr unsigned long long DELAY_STEP = 2500000;  // 50 ms
    static constexpr unsigned long long DELAY_SPREAD = 25000;  // 0.5 ms between rings

    // Source of "now" for the schedule; the time base unless a test drives the clock.
    using Clock = uint64_t (*)();

    TxRing();
    ~TxRing();
    TxRing(const TxRing&) = delete;
    TxRing& operator=(const TxRing&) = delete;

    // Socket, ring and history file "/tmp/sid_<SID>.log". 0, or -1 when the socket cannot be
    // created; ring failures end the process.
    int init(unsigned int sid, int ifindex, long long tsc_offset);
    // The same schedule over `slots` ring slots in memory, with no socket: whoever drives it
    // plays the kernel's part (clearing tp_status once a released frame is "sent").
    int initInMemory(unsigned int sid, long long tsc_offset, const std::string& log_path,
                     unsigned int slots = SLOTS);

    // New delay (tx_delay plus a random spread), schedule and filter cleared; queued packets
    // become due at once.
    void reset();
    // Called from other threads: when `pid` is not the PCR PID already, its next PCR packet
    // restarts the filter.
    void setPcrPid(int pid);
    void fillHeaders(const unsigned char* header, unsigned int length);
    // Queues one TS packet received at `t` (ns of the receive clock).
    void eqnueueTs(unsigned long long t, const unsigned char* packet);
    // Times the PCR packet at write_idx and the packets queued since the previous one.
    void doSomethingWithPcr(unsigned long long t, const unsigned char* packet);
    // Hands the due slots to the kernel, no faster than one frame per inter-frame gap.
    void transmitIfReady(unsigned long long now);
    std::string getStatsString() const;
    void dumpState() {}

    void setClock(Clock clock) { clock_ = clock; }

    unsigned int getSid() const { return sid; }
    unsigned long long getDelay() const { return delay; }
    unsigned int getFill() const { return fill.load(std::memory_order_relaxed); }
    unsigned int getSlots() const { return slots; }
    unsigned int getSendIdx() const { return send_idx; }
    unsigned int getWriteIdx() const { return write_idx; }
    int getLastPcrIdx() const { return last_pcr_idx; }
    int getPcrPid() const { return pcr_pid.load(std::memory_order_relaxed); }
    unsigned long long getSendTime(unsigned int idx) const { return send_time[idx % slots]; }
    unsigned long long getLastSend() const { return last_send; }
    frame_map* slot(unsigned int idx) const {
        return static_cast<frame_map*>(ring.frame_table[idx % slots].iov_base);
    }
    const PcrJitterFilter& getJitter() const { return jitter; }
    int getSocket() const { return sock; }

  private:
    struct Sample {
        unsigned long long now;
        unsigned long long send_time;
        unsigned int fill;
    };

    int openLog(const std::string& path);
    void dumpSamples();
    unsigned int next(unsigned int idx) const { return idx + 1 == slots ? 0 : idx + 1; }

    unsigned long long delay = 0;
    std::atomic<unsigned int> fill{0};
    long long tsc_offset = 0;
    unsigned long long last_send = NONE;
    std::atomic<int> pcr_pid{0};
    unsigned int sid = 0;
    PcrJitterFilter jitter;
    std::atomic<int> pcr_resync{0};
    int sock = -1;
    packet_ring ring;
    unsigned char* memory = nullptr;  // slot area when the ring lives in memory
    // Frames actually granted: the kernel may give fewer than SLOTS when memory is short.
    unsigned int slots = SLOTS;
    unsigned int send_idx = 0;
    unsigned int write_idx = 0;
    int last_pcr_idx = -1;
    // Parallel to the ring slots; allocated with the ring object, the history at init.
    std::unique_ptr<unsigned long long[]> send_time;
    std::unique_ptr<Sample[]> samples;
    unsigned int sample_idx = 0;
    unsigned int sample_count = 0;
    uint8_t dump_count = 0;
    FILE* log = nullptr;
    Clock clock_;
};

#pragma once

#include <cstdint>
#include <string>

#include "pcrjitterfilter.h"

// User-space output FIFO of one output stream: 2048 slots of 256 bytes, each meant for one UDP
// frame (the stream's 42-byte header and one TS packet), with a send time per slot. Send times
// come from the stream's PCRs through a jitter filter, behind a fixed buffer delay, and are
// spread linearly over the slots between two PCR packets.
class TsUdpFifo {
  public:
    static constexpr unsigned int SLOTS = 2048;
    static constexpr unsigned int SLOT_SIZE = 256;
    static constexpr unsigned int BUFFER_SIZE = SLOTS * SLOT_SIZE;
    static constexpr unsigned int ALIGNMENT = 32;
    static constexpr unsigned int NO_PCR = ~0u;

    TsUdpFifo() = default;
    ~TsUdpFifo();
    TsUdpFifo(const TsUdpFifo&) = delete;
    TsUdpFifo& operator=(const TsUdpFifo&) = delete;

    // 0, or -1 when the buffer cannot be allocated.
    int init(unsigned int sid, long long tsc_offset);
    void reset();
    // Copies the frame header to the start of every slot.
    void fillUpdHeaders(unsigned char* header, unsigned int length);
    // Times the PCR packet at ts_wr_idx (arrival in ns) and the slots since the previous one.
    void doSomethingWithPcr(unsigned long long arrival_ns, const unsigned char* packet);
    std::string getStatsString() const;
    void dumpState() const;

    unsigned long long getDelay() const { return delay; }
    long long getSendTime(unsigned int idx) const { return send_time[idx % SLOTS]; }
    const unsigned char* getSlot(unsigned int idx) const { return buffer + (idx % SLOTS) * SLOT_SIZE; }
    const PcrJitterFilter& getJitter() const { return jitter; }

  private:
    // Writing packets into slots and sending them is done by whoever embeds the FIFO; tests
    // stand in for that side.
    friend class TsUdpFifoWriter;

    unsigned long long delay = 0;
    unsigned int fill = 0;
    long long tsc_offset = 0;
    unsigned int sid = 0;
    PcrJitterFilter jitter;
    unsigned int udp_rd_idx = 0;
    unsigned int udp_wr_idx = 0;
    unsigned int ts_wr_idx = 0;
    unsigned int prev_pcr_idx = NO_PCR;
    long long send_time[SLOTS] = {};
    unsigned char* buffer = nullptr;
    unsigned int stats_count = 0;
};

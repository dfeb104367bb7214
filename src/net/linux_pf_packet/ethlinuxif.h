#pragma once

#include <gflags/gflags.h>
#include <readerwriterqueue.h>

#include <atomic>
#include <cstdint>

#include "tspacket.h"

// Dotted destination address of the input stream whose frames are recorded to a file.
DECLARE_string(saveinput);

// The process-wide packet I/O engine. This unit holds the tables that the remultiplexer core
// writes while the engine thread reads them: the PID action table that routes every received TS
// packet, the per-PID byte counters, the requested PCR PID of every output, the output frame
// headers, and the pool and socket through which generated PSI/SI packets are injected. All of
// them are allocated when the engine is constructed, so they work before any ring exists.
class EthLinuxIf {
  public:
    static constexpr unsigned MAX_INPUT_SID = 63;
    static constexpr unsigned INPUT_TABLE_SIZE = MAX_INPUT_SID + 1;
    static constexpr unsigned PID_COUNT = 8192;
    static constexpr unsigned FIRST_OUTPUT_SID = 256;
    static constexpr unsigned OUTPUT_COUNT = 24;
    static constexpr unsigned INJECT_POOL_SIZE = 1000;
    static constexpr unsigned HEADER_LEN = 42;
    static constexpr unsigned FRAME_LEN = HEADER_LEN + TS_PACKET_SIZE;
    // Action bit that hands a PID to the Muxer's receive side; bits 0 to 23 name transmit rings.
    static constexpr uint32_t MUXER_TARGET = 0x80000000u;
    static constexpr size_t TABLE_WORDS = static_cast<size_t>(INPUT_TABLE_SIZE) * PID_COUNT;

    static EthLinuxIf& getInstance();

    // The daemon uses the singleton; tests may construct engines of their own.
    EthLinuxIf();
    ~EthLinuxIf();
    EthLinuxIf(const EthLinuxIf&) = delete;
    EthLinuxIf& operator=(const EthLinuxIf&) = delete;

    // Route (or stop routing) one PID of input `sid` to `target`: 0x80000000 for the Muxer,
    // otherwise the transmit ring (target AND 0xFF), so an output SID 256-279 (or a ring
    // number 0-23) names its ring.
    // 0, or -1 for a SID, PID or target outside the tables.
    int setPidAction(unsigned int sid, int pid, unsigned int target);
    int clearPidAction(unsigned int sid, int pid, unsigned int target);
    // Current action word of one input PID (0 for anything outside the table).
    uint32_t getPidAction(unsigned int sid, int pid) const;

    // The PID whose PCRs pace output `sid` (ring sid AND 0xFF). 0, or -1 for no such ring.
    int setPcrPid(unsigned int sid, unsigned int pid);
    // The PCR PID last requested for output `sid`; -1 when none was requested.
    int getPcrPid(unsigned int sid) const;

    // Installs the Ethernet/IPv4/UDP header of output `sid`; from then on packets injected for
    // it are sent. 0, or -1 for a bad SID or a header of another length.
    int setOutputHeader(unsigned int sid, const unsigned char* header, unsigned int len);
    bool hasOutputHeader(unsigned int sid) const;

    // One packet of the injection pool, or null when all are out. Only the Muxer's transmit
    // thread allocates and injects (the pool is single-producer single-consumer).
    TsPacket* dvbAlloc();
    // Sends the packet at once behind the header of output `sid` and takes it back into the
    // pool. 0 when it was handed to the socket (even if the send failed: that is logged here),
    // -1 when it could not be sent at all (unknown output, no header yet, no socket).
    int dvbInject(unsigned int sid, TsPacket* packet);

    // PID action table, index (SID << 13) + PID; words change only through atomic
    // read-modify-write, because several threads route PIDs of the same input.
    uint32_t* stream_pid_map = nullptr;
    // Bytes received per input SID and PID, same index; added to by the engine thread.
    uint32_t* pid_byte_counters = nullptr;
    // AF_PACKET socket on the transmit interface; opened when the engine is initialised.
    int inject_sock = -1;

  private:
    static int outputIndex(unsigned int sid);
    bool pidIndex(const char* what, unsigned int sid, int pid, unsigned int target, uint32_t* mask,
                  size_t* index) const;

    struct OutputTemplate {
        // Set (release) once the header bytes are complete.
        std::atomic<bool> ready{false};
        unsigned char header[HEADER_LEN] = {};
    };

    moodycamel::ReaderWriterQueue<TsPacket*, 2048> inject_pool{2048};
    TsPacket inject_packets[INJECT_POOL_SIZE];
    unsigned char* inject_memory = nullptr;
    OutputTemplate templates[OUTPUT_COUNT];
    std::atomic<int> pcr_pids[OUTPUT_COUNT];
    // Hot-path failure counters for rate-limited logging (transmit thread only).
    unsigned send_failures = 0;
    unsigned unsendable = 0;
};

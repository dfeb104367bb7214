#pragma once

#include <gflags/gflags.h>
#include <netinet/in.h>
#include <pthread.h>
#include <readerwriterqueue.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "delegate.h"
#include "packet_ring.h"
#include "rxring.h"
#include "tspacket.h"
#include "txring.h"

// Dotted destination address of the input stream whose frames are recorded to a file.
DECLARE_string(saveinput);

// Packaging of an input stream's datagrams as last detected: TS packets of packet_size bytes,
// packet_count of them, the first at offset (Ethernet + IPv4 + UDP headers).
struct EthTsDissect {
    uint32_t packet_size;
    uint32_t packet_count;
    uint32_t offset;
};

// The process-wide packet I/O engine: up to two receive rings, 24 transmit rings (ring i serves
// output SID 256 + i), the PID action table that routes every received TS packet, the per-SID
// frame handlers that split datagrams into TS packets, the pool and socket through which
// generated PSI/SI packets are injected, and the engine thread that busy-polls all of it. The
// engine thread takes no lock: action words change by atomic read-modify-write, handlers by
// single pointer stores, counters by atomic additions.
class EthLinuxIf {
  public:
    static constexpr unsigned MAX_INPUT_SID = 63;
    static constexpr unsigned INPUT_TABLE_SIZE = MAX_INPUT_SID + 1;
    static constexpr unsigned PID_COUNT = 8192;
    static constexpr unsigned FIRST_OUTPUT_SID = 256;
    static constexpr unsigned OUTPUT_COUNT = 24;
    static constexpr unsigned RX_RING_COUNT = 2;
    static constexpr unsigned INJECT_POOL_SIZE = 1000;
    static constexpr unsigned HEADER_LEN = 42;
    static constexpr unsigned FRAME_LEN = HEADER_LEN + TS_PACKET_SIZE;
    static constexpr unsigned MAX_TS_PER_FRAME = 7;
    static constexpr unsigned MAX_SOURCES = 64;
    // Action bit that hands a PID to the Muxer's receive side; bits 0 to 23 name transmit rings.
    static constexpr uint32_t MUXER_TARGET = 0x80000000u;
    static constexpr uint32_t RING_BITS = (1u << OUTPUT_COUNT) - 1;
    static constexpr size_t TABLE_WORDS = static_cast<size_t>(INPUT_TABLE_SIZE) * PID_COUNT;

    // Per-SID frame handler, called by the engine thread for every frame of the stream.
    using FrameHandler = delegate<void(unsigned int, const frame_map*)>;
    // Receiver of PSI/SI packets (action bit 31): the Muxer's input.
    using PsiInput = delegate<void(unsigned int, const unsigned char*, unsigned int)>;

    static EthLinuxIf& getInstance();

    // The daemon uses the singleton; tests may construct engines of their own.
    EthLinuxIf();
    // Stops the engine thread if it runs.
    ~EthLinuxIf();
    EthLinuxIf(const EthLinuxIf&) = delete;
    EthLinuxIf& operator=(const EthLinuxIf&) = delete;

    // Receive rings on the first two usable receive interfaces, the injection socket and the 24
    // transmit rings on the single transmit interface. 0, or -1 (logged).
    int init(const std::vector<std::string>& rx_interfaces, const std::vector<std::string>& tx_interfaces);
    // Starts the engine thread; the result of thread creation.
    int start();
    // Ends the engine thread and waits for it (the daemon never stops; tests and teardown do).
    void stop();

    int addInputStream(unsigned int sid, const std::string& ifname, const std::string& address,
                       unsigned int port, int mode, const std::vector<std::string>& sources, int vlan);
    int deleteInputStream(unsigned int sid);
    int addOutputStream(unsigned int sid, const std::string& ifname, const std::string& address);

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

    // Where packets whose action has bit 31 go; the Muxer binds itself here. Unbinding names
    // the object, so that only the receiver that is bound can withdraw.
    void setPsiInput(PsiInput input);
    void clearPsiInput(const void* object);

    // One transmit pass over all rings.
    void processTx();
    void thread_fn();
    static void* thread_fn_helper(void* engine);
    void adjustPriority();

    // Frame handlers. The dissectors take N packets of SIZE bytes at OFFSET.
    void initInputDelegates();
    void discardEthFrame(unsigned int sid, const frame_map* frame);
    void analyzeEthFrame(unsigned int sid, const frame_map* frame);
    template <unsigned OFFSET, unsigned N, unsigned SIZE>
    void dissectEthFrame(unsigned int sid, const frame_map* frame);
    template <unsigned OFFSET, unsigned N, unsigned SIZE>
    void saveEthFrame(unsigned int sid, const frame_map* frame);
    // A frame that does not fit the stream's dissector: dissected with its own count when it is
    // a valid one, otherwise dropped by the analysis.
    void dissectOtherFrame(unsigned int sid, const frame_map* frame);
    static bool conforms(const frame_map* frame, unsigned n);

    // What the engine thread does with a frame that a receive ring gave to input `sid`.
    void dispatch(unsigned int sid, const frame_map* frame) {
        (*handlers[sid].load(std::memory_order_acquire))(sid, frame);
    }
    const FrameHandler* getHandler(unsigned int sid) const {
        return handlers[sid].load(std::memory_order_acquire);
    }
    void setHandler(unsigned int sid, const FrameHandler* handler) {
        handlers[sid].store(handler, std::memory_order_release);
    }

    // Read and cleared by the status and housekeeping passes.
    uint32_t takeRingBytes(unsigned int ring) { return ring_byte_counters[ring].exchange(0); }
    uint32_t takeStreamBytes(unsigned int sid) { return stream_byte_counters[sid].exchange(0); }
    uint32_t takePidBytes(unsigned int sid, int pid) {
        return __atomic_exchange_n(&pid_byte_counters[(static_cast<size_t>(sid) << 13) + pid], 0u,
                                   __ATOMIC_RELAXED);
    }

    TxRing& getTxRing(unsigned int index) { return tx_rings[index]; }
    RxRing& getRxRing(unsigned int index) { return rx_rings[index]; }
    unsigned getRxRingCount() const { return rx_ring_count; }
    // The input recorded to "/tmp/ts/<SID>.timedts" (-1: none); addInputStream picks the stream
    // whose address is the saveinput flag.
    int getSaveSid() const { return save_sid.load(std::memory_order_relaxed); }
    void setSaveSid(int sid) { save_sid.store(sid, std::memory_order_relaxed); }
    bool hasDissectInfo(unsigned int sid) const { return dissect_map.count(sid) != 0; }
    EthTsDissect getDissectInfo(unsigned int sid) const { return dissect_map.at(sid); }

    // PID action table, index (SID << 13) + PID; words change only through atomic
    // read-modify-write, because several threads route PIDs of the same input.
    uint32_t* stream_pid_map = nullptr;
    // Bytes received per input SID and PID, same index; added to by the engine thread.
    uint32_t* pid_byte_counters = nullptr;
    // AF_PACKET socket on the transmit interface; opened when the engine is initialised.
    int inject_sock = -1;

    FrameHandler discard_delegate;
    FrameHandler analyse_delegate;
    FrameHandler save_delegate;
    // Entry N (1-7) dissects N packets per frame; entry 0 discards.
    FrameHandler dissector_delegates[MAX_TS_PER_FRAME + 1];

  private:
    static int outputIndex(unsigned int sid);
    bool pidIndex(const char* what, unsigned int sid, int pid, unsigned int target, uint32_t* mask,
                  size_t* index) const;
    void closeSaveFile();

    struct OutputTemplate {
        // Set (release) once the header bytes are complete.
        std::atomic<bool> ready{false};
        unsigned char header[HEADER_LEN] = {};
    };

    std::unordered_map<std::string, RxRing*> rx_rings_by_name;
    std::unordered_map<unsigned, sockaddr_in> stream_addrs;
    std::unordered_map<unsigned, int> stream_vlans;
    std::unordered_map<unsigned, std::string> stream_ifnames;

    std::atomic<const FrameHandler*> handlers[INPUT_TABLE_SIZE];
    // Written by the engine thread only (analysis).
    std::unordered_map<unsigned, EthTsDissect> dissect_map;
    std::atomic<int> save_sid{-1};
    FILE* save_file = nullptr;
    // The engine thread loads the pointer; a receiver once bound stays allocated (psi_inputs)
    // for the engine's life, so a late load never calls freed memory.
    std::atomic<const PsiInput*> psi_input;
    std::vector<std::unique_ptr<PsiInput>> psi_inputs;
    std::mutex psi_input_lock;

    TxRing tx_rings[OUTPUT_COUNT];
    RxRing rx_rings[RX_RING_COUNT];
    unsigned rx_ring_count = 0;
    std::atomic<uint32_t> ring_byte_counters[RX_RING_COUNT] = {};
    std::atomic<uint32_t> stream_byte_counters[INPUT_TABLE_SIZE] = {};
    bool initialised = false;
    pthread_t thread{};
    bool thread_started = false;
    std::atomic<bool> running{false};

    moodycamel::ReaderWriterQueue<TsPacket*, 2048> inject_pool{2048};
    TsPacket inject_packets[INJECT_POOL_SIZE];
    unsigned char* inject_memory = nullptr;
    OutputTemplate templates[OUTPUT_COUNT];
    std::atomic<int> pcr_pids[OUTPUT_COUNT];
    // Hot-path failure counters for rate-limited logging (transmit thread only).
    unsigned send_failures = 0;
    unsigned unsendable = 0;
    // The same for frame analysis (engine thread only): one counter per message for all
    // streams, as the lines are about the traffic.
    unsigned too_short = 0;
    unsigned not_divisible = 0;
    unsigned bad_sync = 0;
    unsigned unsupported = 0;
    unsigned cannot_open = 0;
};

#include "txring.h"

#include <glog/logging.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "debugfile.h"
#include "realtime.h"
#include "tspacket.h"
#include "utils.h"
#include "xmalloc.h"

DEFINE_int32(tx_verbose_sid, -1, "Verbose PCR debug for this SID");
DEFINE_int32(non_pcr_interframe_gap, 2200,
             "Minimal interframe gap for outgoing ethernet frames (in TSC units).");
DEFINE_int32(tx_delay, 150, "Insert delay for outgoing packets in [ms]");

namespace {

constexpr unsigned int RING_SIZE = 2097152;
constexpr unsigned int STATUS_BUSY = TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING;

unsigned long long random_spread() {
    static thread_local std::random_device device;
    std::uniform_int_distribution<unsigned long long> spread(0, TxRing::DELAY_SPREAD);
    return spread(device);
}

}  // namespace

TxRing::TxRing() : send_time(new unsigned long long[SLOTS]()), clock_(&realtime::get_tsc) {
    memset(&ring, 0, sizeof(ring));
}

TxRing::~TxRing() {
    if (log != nullptr)
        fclose(log);
    if (sock >= 0) {
        if (ring.map_base != nullptr)
            munmap(ring.map_base, ring.map_len);
        close(sock);
    }
    free(memory);
    free(ring.frame_table);
}

int TxRing::init(unsigned int sid_, int ifindex, long long tsc_offset_) {
    sid = sid_;
    tsc_offset = tsc_offset_;
    sock = socket(AF_PACKET, SOCK_RAW, 0);
    if (sock < 0) {
        PLOG(ERROR) << "socket()";
        return -1;
    }
    int one = 1;
    if (setsockopt(sock, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof(one)) != 0) {
        const int err = errno;
        PLOG(ERROR) << "setsockopt(PACKET_QDISC_BYPASS)";
        if (err == ENOPROTOOPT)
            LOG(WARNING) << "no kernel support for PACKET_QDISC_BYPASS (kernel < 3.14?)";
    }
    memset(&ring, 0, sizeof(ring));
    setup_tx_ring_layout(sock, &ring, RING_SIZE, false);
    create_tx_ring(sock, &ring, true);
    mmap_tx_ring(sock, &ring);
    alloc_tx_ring_frames(sock, &ring);
    bind_tx_ring(sock, &ring, ifindex);
    slots = ring.req.tp_frame_nr < SLOTS ? ring.req.tp_frame_nr : SLOTS;
    samples.reset(new Sample[SAMPLES]());

    jitter.init(sid, static_cast<unsigned int>(delay));
    reset();
    openLog("/tmp/sid_" + std::to_string(sid) + ".log");
    return 0;
}

int TxRing::initInMemory(unsigned int sid_, long long tsc_offset_, const std::string& log_path,
                         unsigned int slot_count) {
    sid = sid_;
    tsc_offset = tsc_offset_;
    slots = slot_count == 0 || slot_count > SLOTS ? SLOTS : slot_count;
    memory = static_cast<unsigned char*>(xmalloc_aligned(static_cast<size_t>(slots) * SLOT_SIZE, 4096));
    memset(memory, 0, static_cast<size_t>(slots) * SLOT_SIZE);
    memset(&ring, 0, sizeof(ring));
    ring.map_base = memory;
    ring.map_len = static_cast<size_t>(slots) * SLOT_SIZE;
    ring.req.tp_frame_size = SLOT_SIZE;
    ring.req.tp_frame_nr = slots;
    alloc_ring_frames_generic(&ring, slots, SLOT_SIZE);
    samples.reset(new Sample[SAMPLES]());

    jitter.init(sid, static_cast<unsigned int>(delay));
    reset();
    openLog(log_path);
    return 0;
}

int TxRing::openLog(const std::string& path) {
    log = utils::open_debug_file(path);
    if (log == nullptr) {
        PLOG(ERROR) << "OUT SID " << sid << ": cannot open " << path
                    << ", transmit history not kept (symbolic links and special files are refused)";
        return -1;
    }
    fputs("# now send_time usage\n", log);
    fflush(log);
    return 0;
}

void TxRing::dumpSamples() {
    if (log == nullptr || samples == nullptr)
        return;
    for (unsigned int i = 0; i < SAMPLES; ++i)
        fprintf(log, "%llu %llu %u\n", samples[i].now, samples[i].send_time, samples[i].fill);
    fflush(log);
}

void TxRing::reset() {
    memset(send_time.get(), 0, SLOTS * sizeof(send_time[0]));
    last_pcr_idx = -1;
    delay = static_cast<unsigned long long>(FLAGS_tx_delay) * realtime::TSC_HZ / 1000 + random_spread();
    LOG(INFO) << utils::string_format("OUT SID %u delay %llu (%llu us)", sid, delay, delay / 50);
    pcr_resync.store(0, std::memory_order_relaxed);
    jitter.reset(static_cast<unsigned int>(delay));
}

void TxRing::setPcrPid(int pid) {
    // The output names its PCR PID again whenever it rebuilds the program on air; only a new
    // PID is a new time line.
    if (pcr_pid.exchange(pid, std::memory_order_relaxed) != pid)
        pcr_resync.store(1, std::memory_order_release);
}

void TxRing::fillHeaders(const unsigned char* header, unsigned int length) {
    // The header and the packet share the slot after the kernel's part.
    if (length > SLOT_SIZE - TX_FRAME_OFFSET - TS_PACKET_SIZE)
        length = SLOT_SIZE - TX_FRAME_OFFSET - TS_PACKET_SIZE;
    for (unsigned int i = 0; i < slots; ++i) {
        frame_map* f = slot(i);
        f->tp_len = FRAME_LEN;
        memcpy(reinterpret_cast<unsigned char*>(f) + TX_FRAME_OFFSET, header, length);
    }
}

void TxRing::eqnueueTs(unsigned long long t, const unsigned char* packet) {
    const unsigned int next_write = next(write_idx);
    if (next_write == send_idx) {
        LOG_EVERY_N(WARNING, 100) << "SID " << sid << " TXQ full, reset";
        jitter.reset(static_cast<unsigned int>(delay));
        if (dump_count <= 2) {
            ++dump_count;
            dumpSamples();
        }
        reset();
        return;
    }
    if (send_idx == write_idx && last_pcr_idx >= 0) {
        if (delay >= MAX_DELAY) {
            LOG_EVERY_N(WARNING, 100) << "SID " << sid << " TX queue got empty. Maximum buffer reached";
        } else {
            delay += DELAY_STEP;
            LOG(INFO) << "TXQ empty, new delay " << delay;
            SYSLOG(WARNING) << "SID " << sid << " TX queue got empty. Buffer increased";
            jitter.reset(static_cast<unsigned int>(delay));
        }
    }
    frame_map* f = slot(write_idx);
    if (__atomic_load_n(&f->tp_status, __ATOMIC_ACQUIRE) & STATUS_BUSY) {
        LOG_EVERY_N(WARNING, 100) << "SID " << sid << " kernel too slow";
        if (dump_count <= 2) {
            ++dump_count;
            dumpSamples();
        }
        return;
    }
    memcpy(reinterpret_cast<unsigned char*>(f) + TX_FRAME_OFFSET + HEADER_LEN, packet, TS_PACKET_SIZE);

    const int pid = pcr_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        if (last_send == NONE)
            last_send = clock_();
        last_send += 50ull * static_cast<unsigned long long>(FLAGS_non_pcr_interframe_gap);
        send_time[write_idx] = last_send;
    } else if ((packet[3] & 0x20) && packet[4] != 0 && (packet[5] & 0x10) &&
               ((packet[1] & 0x1F) << 8 | packet[2]) == pid) {
        if (pcr_resync.load(std::memory_order_acquire)) {
            LOG(INFO) << "reset PCR sync";
            pcr_resync.store(0, std::memory_order_relaxed);
            jitter.reset(static_cast<unsigned int>(delay));
        }
        doSomethingWithPcr(t, packet);
    }

    if (++sample_count == SAMPLE_EVERY) {
        sample_count = 0;
        samples[sample_idx] = {clock_(), send_time[write_idx], fill.load(std::memory_order_relaxed) + 1};
        if (++sample_idx == SAMPLES)
            sample_idx = 0;
    }
    fill.store(fill.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    write_idx = next_write;
}

void TxRing::doSomethingWithPcr(unsigned long long t, const unsigned char* packet) {
    if (packet[5] & 0x80) {
        LOG(INFO) << utils::string_format("SID %u: PCR discontinuity flag set, resync", sid);
        jitter.reset(static_cast<unsigned int>(delay));
    }
    const unsigned long long base = static_cast<unsigned long long>(packet[6]) << 25 |
                                    static_cast<unsigned long long>(packet[7]) << 17 |
                                    static_cast<unsigned long long>(packet[8]) << 9 |
                                    static_cast<unsigned long long>(packet[9]) << 1 | packet[10] >> 7;
    const unsigned long long extension = (packet[10] & 1u) << 8 | packet[11];
    const unsigned long long pcr_ticks = (base * 300 + extension) * 50 / 27;
    const unsigned long long arrival_ticks = t / realtime::NS_PER_TICK;

    unsigned long long out = static_cast<unsigned long long>(jitter.calculateSkew(pcr_ticks, arrival_ticks) +
                                                             tsc_offset + static_cast<long long>(delay));
    const long long diff = static_cast<long long>(out - clock_());
    if (VLOG_IS_ON(2) || static_cast<int>(sid) == FLAGS_tx_verbose_sid) {
        LOG(INFO) << utils::string_format(
            "SID %u +%lli us usage %zu%% ", sid, diff / 50,
            static_cast<size_t>(fill.load(std::memory_order_relaxed)) * 100 / SLOTS);
    }
    if (diff > 2 * static_cast<long long>(delay)) {
        LOG(INFO) << utils::string_format("SID %u: delay %lli (%lli us) > %llu, reset", sid, diff, diff / 50,
                                          2 * delay);
        out = 0;
        jitter.reset(static_cast<unsigned int>(delay));
    }
    // Read before this slot is stamped: after a full turn the previous PCR slot is this one.
    const unsigned long long start = last_pcr_idx >= 0 ? send_time[last_pcr_idx] : 0;
    send_time[write_idx] = out;

    if (last_pcr_idx >= 0) {
        const unsigned int last = static_cast<unsigned int>(last_pcr_idx);
        unsigned int n = write_idx - last;
        if (write_idx <= last)
            n += slots;
        const long long step = static_cast<long long>(out - start) / static_cast<long long>(n);
        unsigned long long time = start;
        for (unsigned int idx = next(last); idx != write_idx; idx = next(idx)) {
            time += static_cast<unsigned long long>(step);
            send_time[idx] = time;
        }
    }
    last_pcr_idx = static_cast<int>(write_idx);
}

void TxRing::transmitIfReady(unsigned long long now) {
    if (send_idx == write_idx || send_time[send_idx] > now)
        return;
    const long long gap = FLAGS_non_pcr_interframe_gap;
    bool marked = false;
    for (;;) {
        if (last_send != NONE && static_cast<long long>(now - last_send) < gap)
            break;
        __atomic_store_n(&slot(send_idx)->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
        last_send = now;
        send_idx = next(send_idx);
        fill.store(fill.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        marked = true;
        if (send_idx == write_idx || send_time[send_idx] > now)
            break;
    }
    // One kick per batch; a failed send shows up later as slots the kernel keeps.
    if (marked && sock >= 0)
        (void)sendto(sock, nullptr, 0, MSG_DONTWAIT, nullptr, 0);
}

std::string TxRing::getStatsString() const {
    return utils::string_format("OUT SID %u buffer usage %zu%% ", sid,
                                static_cast<size_t>(fill.load(std::memory_order_relaxed)) * 100 / SLOTS) +
           jitter.getStatsString();
}

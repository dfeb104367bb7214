#include "tsudpfifo.h"

#include <glog/logging.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "realtime.h"
#include "utils.h"

namespace {

constexpr unsigned long long BUFFER_DELAY = 3750000;  // 75 ms in ticks

// Uniform in [0, 25000] ticks (0 to 500 us), rejecting the draws that would bias the division.
unsigned long long random_spread() {
    static thread_local std::random_device device("default");
    unsigned int value;
    do {
        value = device();
    } while (value > 4294946790u);
    return value / 171791u;
}

}  // namespace

TsUdpFifo::~TsUdpFifo() {
    free(buffer);
}

int TsUdpFifo::init(unsigned int sid_, long long tsc_offset_) {
    stats_count = 0;
    tsc_offset = tsc_offset_;
    sid = sid_;
    free(buffer);
    buffer = nullptr;
    void* block = nullptr;
    if (posix_memalign(&block, ALIGNMENT, BUFFER_SIZE) != 0 || block == nullptr) {
        LOG(ERROR) << "cannot alocate " << BUFFER_SIZE << " bytes";
        return -1;
    }
    buffer = static_cast<unsigned char*>(block);
    memset(buffer, 0, BUFFER_SIZE);
    LOG(INFO) << "OUT SID " << sid << " TX FIFO: " << BUFFER_SIZE << " bytes, " << SLOTS << " slots x "
              << SLOT_SIZE << "b, " << ALIGNMENT << "b aligned";
    jitter.init(sid, static_cast<unsigned int>(delay));
    reset();
    return 0;
}

void TsUdpFifo::reset() {
    memset(send_time, 0, sizeof(send_time));
    udp_rd_idx = udp_wr_idx = ts_wr_idx = fill = 0;
    prev_pcr_idx = NO_PCR;
    delay = BUFFER_DELAY + random_spread();
    LOG(INFO) << utils::string_format("OUT SID %u delay %llu", sid, delay);
    jitter.reset(static_cast<unsigned int>(delay));
}

void TsUdpFifo::fillUpdHeaders(unsigned char* header, unsigned int length) {
    if (buffer == nullptr) {
        LOG(ERROR) << "OUT SID " << sid << " TX FIFO: no buffer, init first";
        return;
    }
    reset();
    // A header longer than a slot would run into the next one.
    if (length > SLOT_SIZE)
        length = SLOT_SIZE;
    for (unsigned int k = 0; k < SLOTS; ++k)
        memcpy(buffer + k * SLOT_SIZE, header, length);
    reset();
}

void TsUdpFifo::doSomethingWithPcr(unsigned long long arrival_ns, const unsigned char* packet) {
    if (packet[5] & 0x80) {
        LOG(INFO) << utils::string_format("SID %u: PCR discontinuity flag set, resync", sid);
        jitter.reset(static_cast<unsigned int>(delay));
    }
    unsigned long long base = static_cast<unsigned long long>(packet[6]) << 25 |
                              static_cast<unsigned long long>(packet[7]) << 17 |
                              static_cast<unsigned long long>(packet[8]) << 9 |
                              static_cast<unsigned long long>(packet[9]) << 1 | packet[10] >> 7;
    unsigned long long extension = (packet[10] & 1u) << 8 | packet[11];
    unsigned long long pcr_ticks = (base * 300 + extension) * 50 / 27;
    unsigned long long arrival_ticks = arrival_ns / 20;

    long long out =
        jitter.calculateSkew(pcr_ticks, arrival_ticks) + tsc_offset + static_cast<long long>(delay);
    // Read before the slot is stamped: after a full turn the previous PCR slot is this one.
    const long long prev_out = prev_pcr_idx == NO_PCR ? 0 : send_time[prev_pcr_idx];
    send_time[ts_wr_idx] = out;

    if (VLOG_IS_ON(1)) {
        if (++stats_count == 30) {
            VLOG(1) << getStatsString();
            stats_count = 0;
        }
    }

    if (prev_pcr_idx == NO_PCR) {
        VLOG(2) << utils::string_format("First PCR ts_wr_idx=%u, out=%lld, now=%llu", ts_wr_idx, out,
                                        static_cast<unsigned long long>(realtime::get_tsc()));
    } else {
        const long long diff = out - prev_out;
        unsigned int n = ts_wr_idx - prev_pcr_idx;
        if (ts_wr_idx <= prev_pcr_idx)
            n += SLOTS;
        const long long inc = diff / static_cast<long long>(n);
        if (VLOG_IS_ON(2)) {
            VLOG(2) << "PCR "
                    << utils::string_format("ts_packets=%d, out_time_inc=%lld", static_cast<int>(n), inc);
            VLOG(2) << "PCR "
                    << utils::string_format("prev_pcr_idx=%u, prev_out=%llu, out=%lld, now=%llu",
                                            prev_pcr_idx, static_cast<unsigned long long>(prev_out), out,
                                            static_cast<unsigned long long>(realtime::get_tsc()));
        }
        for (unsigned int k = 1;; ++k) {
            unsigned int idx = (prev_pcr_idx + k) % SLOTS;
            if (idx == ts_wr_idx)
                break;
            send_time[idx] = prev_out + static_cast<long long>(k) * inc;
        }
    }
    prev_pcr_idx = ts_wr_idx;
}

std::string TsUdpFifo::getStatsString() const {
    return utils::string_format("OUT SID %u buffer usage %zu%% ", sid,
                                static_cast<size_t>(fill) * 100 / SLOTS) +
           jitter.getStatsString();
}

void TsUdpFifo::dumpState() const {
    const int empty = udp_rd_idx == udp_wr_idx;
    const int full = udp_rd_idx == (udp_wr_idx + 1) % SLOTS;
    LOG(INFO) << "\nisEmptyTs()=" << empty << ", isEmptyUdp()=" << empty << ", isFullTs()=" << full << "\n"
              << utils::string_format("udp_wr_idx=%u, ts_wr_idx=%u, udp_rd_idx=%u", udp_wr_idx, ts_wr_idx,
                                      udp_rd_idx)
              << "\n";
}

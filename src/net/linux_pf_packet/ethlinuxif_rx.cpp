// Frame handling of the engine: packaging detection, dissection of datagrams into TS packets
// routed by the PID action table, and the recording of one input stream.
#include <glog/logging.h>

#include <cstring>

#include "debugfile.h"
#include "ethlinuxif.h"
#include "utils.h"

namespace {

constexpr unsigned HEADERS = 42;  // Ethernet 14 + IPv4 20 + UDP 8
constexpr unsigned TS = 188;
constexpr size_t SAVE_BUFFER = 1 << 20;

unsigned long long receiveTime(const frame_map* frame) {
    return static_cast<unsigned long long>(frame->tp_sec) * 1000000000ull + frame->tp_nsec;
}

}  // namespace

void EthLinuxIf::initInputDelegates() {
    discard_delegate = FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::discardEthFrame>(this);
    analyse_delegate = FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::analyzeEthFrame>(this);
    save_delegate = FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::saveEthFrame<HEADERS, 7, TS>>(this);
    dissector_delegates[0] = discard_delegate;
    dissector_delegates[1] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 1, TS>>(this);
    dissector_delegates[2] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 2, TS>>(this);
    dissector_delegates[3] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 3, TS>>(this);
    dissector_delegates[4] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 4, TS>>(this);
    dissector_delegates[5] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 5, TS>>(this);
    dissector_delegates[6] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 6, TS>>(this);
    dissector_delegates[7] =
        FrameHandler::from_method<EthLinuxIf, &EthLinuxIf::dissectEthFrame<HEADERS, 7, TS>>(this);
    for (auto& handler : handlers) {
        handler.store(&discard_delegate, std::memory_order_release);
    }
}

void EthLinuxIf::discardEthFrame(unsigned int, const frame_map*) {}

void EthLinuxIf::analyzeEthFrame(unsigned int sid, const frame_map* frame) {
    const unsigned len = frame->tp_len;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(frame) + frame->tp_mac;
    if (len <= HEADERS + TS - 1) {
        if (too_short++ == 0) {
            LOG(INFO) << len << " bytes RAW frame - too short";
        }
        return;
    }
    if ((len - HEADERS) % TS != 0) {
        if (not_divisible++ == 0) {
            LOG(INFO) << len << " bytes RAW frame - no divisible by 188";
        }
        return;
    }
    const unsigned n = (len - HEADERS) / TS;
    for (unsigned k = 0; k < n; ++k) {
        const unsigned offset = HEADERS + TS * k;
        // A frame longer than its ring slot was cut short: what is missing cannot be a packet.
        const unsigned char found = offset < frame->tp_snaplen ? data[offset] : 0;
        if (found != 0x47) {
            if (bad_sync++ % 100 == 0) {
                LOG(INFO) << utils::string_format("at %u found 0x%02x expected 0x47", offset, found);
            }
            return;
        }
    }

    auto known = dissect_map.find(sid);
    if (known == dissect_map.end()) {
        LOG(INFO) << utils::string_format("SID %u detected TS %ux%u at offset %u", sid, n, TS, HEADERS);
    } else if (n <= MAX_TS_PER_FRAME || known->second.packet_count != n) {
        // A sender that keeps an unsupported packaging is reported by the rate-limited warning
        // below, not by a line per frame.
        LOG(INFO) << utils::string_format("SID %u changed TS %ux%u at offset %u", sid, n, TS, HEADERS);
    }
    dissect_map[sid] = EthTsDissect{TS, n, HEADERS};

    if (n > MAX_TS_PER_FRAME) {
        if (unsupported++ % 100 == 0) {
            LOG(WARNING) << n << " TS per UDP not supported";
        }
        return;
    }
    const int saving = save_sid.load(std::memory_order_relaxed);
    if (saving >= 0 && static_cast<unsigned>(saving) == sid && n == 7) {
        closeSaveFile();
        const std::string path = utils::string_format("/tmp/ts/%u.timedts", sid);
        save_file = utils::open_debug_file(path);
        if (save_file == nullptr) {
            // Every frame tries again: rate-limited like every other per-frame line.
            if (cannot_open++ % 100 == 0) {
                PLOG(WARNING) << utils::string_format("SID %u cannot open output file", saving) << " "
                              << path;
            }
            return;
        }
        setvbuf(save_file, nullptr, _IOFBF, SAVE_BUFFER);
        LOG(INFO) << utils::string_format("SID %u saving to file", sid);
        setHandler(sid, &save_delegate);
        return;
    }
    setHandler(sid, &dissector_delegates[n]);
    setPidAction(sid, 0, MUXER_TARGET);
}

// True when the frame holds exactly `n` whole TS packets after the headers.
bool EthLinuxIf::conforms(const frame_map* frame, unsigned n) {
    if (frame->tp_len != HEADERS + n * TS || frame->tp_snaplen < HEADERS + n * TS) {
        return false;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(frame) + frame->tp_mac + HEADERS;
    for (unsigned k = 0; k < n; ++k) {
        if (p[k * TS] != 0x47) {
            return false;
        }
    }
    return true;
}

void EthLinuxIf::dissectOtherFrame(unsigned int sid, const frame_map* frame) {
    const unsigned len = frame->tp_len;
    if (len > HEADERS && (len - HEADERS) % TS == 0) {
        const unsigned n = (len - HEADERS) / TS;
        // Datagrams may carry 1 to 7 packets each; a sender that varies the count loses nothing.
        if (n <= MAX_TS_PER_FRAME && conforms(frame, n)) {
            dissector_delegates[n](sid, frame);
            return;
        }
    }
    // Malformed: reported (rate-limited) and dropped by the analysis.
    analyzeEthFrame(sid, frame);
}

template <unsigned OFFSET, unsigned N, unsigned SIZE>
void EthLinuxIf::dissectEthFrame(unsigned int sid, const frame_map* frame) {
    static_assert(OFFSET == HEADERS && SIZE == TS, "frames are checked for this packaging");
    // Anything but N whole packets would be cut into packets from whatever the slot held before.
    if (!conforms(frame, N)) {
        dissectOtherFrame(sid, frame);
        return;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(frame) + frame->tp_mac + OFFSET;
    stream_byte_counters[sid].fetch_add(N * SIZE, std::memory_order_relaxed);
    const unsigned long long t = receiveTime(frame);
    const size_t base = static_cast<size_t>(sid) << 13;
    const uint32_t* actions = stream_pid_map + base;
    uint32_t* counters = pid_byte_counters + base;
    for (unsigned k = 0; k < N; ++k, p += SIZE) {
        const unsigned pid = (static_cast<unsigned>(p[1]) << 8 | p[2]) & 0x1FFF;
        __atomic_fetch_add(&counters[pid], SIZE, __ATOMIC_RELAXED);
        uint32_t action = __atomic_load_n(&actions[pid], __ATOMIC_ACQUIRE);
        if (action == 0) {
            continue;
        }
        if (action & MUXER_TARGET) {
            (*psi_input.load(std::memory_order_acquire))(sid, p, SIZE);
            continue;
        }
        // Only rings that exist; the table never holds other bits, this keeps it so.
        action &= RING_BITS;
        while (action != 0) {
            const unsigned ring = 31u - static_cast<unsigned>(__builtin_clz(action));
            tx_rings[ring].eqnueueTs(t, p);
            action &= ~(1u << ring);
        }
    }
}

template <unsigned OFFSET, unsigned N, unsigned SIZE>
void EthLinuxIf::saveEthFrame(unsigned int sid, const frame_map* frame) {
    if (save_file != nullptr && conforms(frame, N)) {
        const unsigned long long t = receiveTime(frame);
        unsigned char stamp[8];
        for (int i = 0; i < 8; ++i) {
            stamp[i] = static_cast<unsigned char>(t >> (56 - 8 * i));
        }
        const unsigned char* packets = reinterpret_cast<const unsigned char*>(frame) + frame->tp_mac + OFFSET;
        if (fwrite(stamp, 1, sizeof(stamp), save_file) != sizeof(stamp) ||
            fwrite(packets, 1, N * SIZE, save_file) != N * SIZE || ferror(save_file)) {
            LOG(ERROR) << utils::string_format("SID %u error writing to file", sid);
            closeSaveFile();
            setHandler(sid, &discard_delegate);
        }
    }
    dissector_delegates[N](sid, frame);
}

void EthLinuxIf::closeSaveFile() {
    if (save_file != nullptr) {
        fclose(save_file);
        save_file = nullptr;
    }
}

template void EthLinuxIf::dissectEthFrame<HEADERS, 1, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::dissectEthFrame<HEADERS, 2, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::dissectEthFrame<HEADERS, 3, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::dissectEthFrame<HEADERS, 4, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::dissectEthFrame<HEADERS, 5, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::dissectEthFrame<HEADERS, 6, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::dissectEthFrame<HEADERS, 7, TS>(unsigned int, const frame_map*);
template void EthLinuxIf::saveEthFrame<HEADERS, 7, TS>(unsigned int, const frame_map*);

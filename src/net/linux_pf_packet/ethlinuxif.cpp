#include "ethlinuxif.h"

#include <glog/logging.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "utils.h"

DEFINE_string(saveinput, "", "Save input stream to file");

namespace {

constexpr size_t TABLE_BYTES = EthLinuxIf::TABLE_WORDS * sizeof(uint32_t);

// Hot-path failures are logged on the 1st, 101st, 201st... occurrence.
bool logThisOne(unsigned& counter) {
    return counter++ % 100 == 0;
}

}  // namespace

EthLinuxIf& EthLinuxIf::getInstance() {
    static EthLinuxIf instance;
    return instance;
}

EthLinuxIf::EthLinuxIf() {
    for (auto& p : pcr_pids) {
        p.store(-1, std::memory_order_relaxed);
    }

    stream_pid_map = static_cast<uint32_t*>(std::aligned_alloc(32, TABLE_BYTES));
    if (stream_pid_map == nullptr) {
        LOG(ERROR) << "failed to allocate " << TABLE_BYTES << " bytes for stream_pid_map";
    } else {
        memset(stream_pid_map, 0, TABLE_BYTES);
    }
    pid_byte_counters = static_cast<uint32_t*>(std::aligned_alloc(32, TABLE_BYTES));
    if (pid_byte_counters == nullptr) {
        std::free(stream_pid_map);
        throw std::bad_alloc();
    }
    memset(pid_byte_counters, 0, TABLE_BYTES);

    inject_memory = static_cast<unsigned char*>(
        std::aligned_alloc(64, static_cast<size_t>(INJECT_POOL_SIZE) * TS_BUFFER_SIZE));
    if (inject_memory == nullptr) {
        std::free(stream_pid_map);
        std::free(pid_byte_counters);
        throw std::bad_alloc();
    }
    for (unsigned i = 0; i < INJECT_POOL_SIZE; ++i) {
        inject_packets[i].sid = 0;
        inject_packets[i].data = inject_memory + static_cast<size_t>(i) * TS_BUFFER_SIZE;
        inject_pool.try_enqueue(&inject_packets[i]);
    }
}

EthLinuxIf::~EthLinuxIf() {
    std::free(stream_pid_map);
    std::free(pid_byte_counters);
    std::free(inject_memory);
}

int EthLinuxIf::outputIndex(unsigned int sid) {
    const unsigned index = sid & 0xFF;
    return index < OUTPUT_COUNT ? static_cast<int>(index) : -1;
}

bool EthLinuxIf::pidIndex(const char* what, unsigned int sid, int pid, unsigned int target, uint32_t* mask,
                          size_t* index) const {
    unsigned ring = target & 0xFF;
    if (sid == 0 || sid > MAX_INPUT_SID || pid < 0 || pid >= static_cast<int>(PID_COUNT) ||
        (target != MUXER_TARGET && (ring >= OUTPUT_COUNT || target >= 2 * FIRST_OUTPUT_SID)) ||
        stream_pid_map == nullptr) {
        LOG(ERROR) << utils::string_format("%s(%u, %d, %u) refused: no such input, PID or target", what, sid,
                                           pid, target);
        return false;
    }
    *mask = target == MUXER_TARGET ? MUXER_TARGET : 1u << ring;
    *index = (static_cast<size_t>(sid) << 13) + static_cast<size_t>(pid);
    return true;
}

int EthLinuxIf::setPidAction(unsigned int sid, int pid, unsigned int target) {
    uint32_t mask;
    size_t index;
    if (!pidIndex("setPidAction", sid, pid, target, &mask, &index)) {
        return -1;
    }
    LOG(INFO) << utils::string_format("setPidAction(%u, %d, %u) %08x", sid, pid, target, mask);
    __atomic_fetch_or(&stream_pid_map[index], mask, __ATOMIC_SEQ_CST);
    return 0;
}

int EthLinuxIf::clearPidAction(unsigned int sid, int pid, unsigned int target) {
    uint32_t mask;
    size_t index;
    if (!pidIndex("clearPidAction", sid, pid, target, &mask, &index)) {
        return -1;
    }
    LOG(INFO) << utils::string_format("clearPidAction(%u, %d, %u) %08x", sid, pid, target, mask);
    __atomic_fetch_and(&stream_pid_map[index], ~mask, __ATOMIC_SEQ_CST);
    return 0;
}

uint32_t EthLinuxIf::getPidAction(unsigned int sid, int pid) const {
    if (sid >= INPUT_TABLE_SIZE || pid < 0 || pid >= static_cast<int>(PID_COUNT) ||
        stream_pid_map == nullptr) {
        return 0;
    }
    return __atomic_load_n(&stream_pid_map[(static_cast<size_t>(sid) << 13) + static_cast<size_t>(pid)],
                           __ATOMIC_ACQUIRE);
}

int EthLinuxIf::setPcrPid(unsigned int sid, unsigned int pid) {
    const int ring = outputIndex(sid);
    if (ring < 0) {
        LOG(ERROR) << "SID " << sid << " PCR pid " << static_cast<int>(pid) << " refused: no such output";
        return -1;
    }
    // The transmit ring takes this over when it is built; until then the engine keeps it.
    pcr_pids[ring].store(static_cast<int>(pid), std::memory_order_release);
    LOG(INFO) << "SID " << sid << " PCR pid set to " << static_cast<int>(pid);
    return 0;
}

int EthLinuxIf::getPcrPid(unsigned int sid) const {
    const int ring = outputIndex(sid);
    return ring < 0 ? -1 : pcr_pids[ring].load(std::memory_order_acquire);
}

int EthLinuxIf::setOutputHeader(unsigned int sid, const unsigned char* header, unsigned int len) {
    if (sid < FIRST_OUTPUT_SID || sid >= FIRST_OUTPUT_SID + OUTPUT_COUNT || len != HEADER_LEN ||
        header == nullptr) {
        LOG(ERROR) << "SID " << sid << " output header refused";
        return -1;
    }
    OutputTemplate& t = templates[sid - FIRST_OUTPUT_SID];
    memcpy(t.header, header, HEADER_LEN);
    t.ready.store(true, std::memory_order_release);
    return 0;
}

bool EthLinuxIf::hasOutputHeader(unsigned int sid) const {
    if (sid < FIRST_OUTPUT_SID || sid >= FIRST_OUTPUT_SID + OUTPUT_COUNT) {
        return false;
    }
    return templates[sid - FIRST_OUTPUT_SID].ready.load(std::memory_order_acquire);
}

TsPacket* EthLinuxIf::dvbAlloc() {
    TsPacket* p = nullptr;
    return inject_pool.try_dequeue(p) ? p : nullptr;
}

int EthLinuxIf::dvbInject(unsigned int sid, TsPacket* packet) {
    if (packet == nullptr) {
        return -1;
    }
    int result = 0;
    // A frame without its header would leave with a zero destination: nothing is sent then.
    if (!hasOutputHeader(sid) || inject_sock < 0) {
        if (logThisOne(unsendable)) {
            LOG(ERROR) << "SID " << sid
                       << (inject_sock < 0 ? " injection socket not open" : " has no output header")
                       << ", PSI/SI packet not sent";
        }
        result = -1;
    } else {
        unsigned char frame[FRAME_LEN];
        memcpy(frame, templates[sid - FIRST_OUTPUT_SID].header, HEADER_LEN);
        memcpy(frame + HEADER_LEN, packet->data, TS_PACKET_SIZE);
        if (send(inject_sock, frame, FRAME_LEN, 0) <= 0 && logThisOne(send_failures)) {
            PLOG(ERROR) << "Cannot send DVB packets";
        }
    }
    inject_pool.try_enqueue(packet);
    return result;
}

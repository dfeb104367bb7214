#include "ethlinuxif.h"

#include <arpa/inet.h>
#include <glog/logging.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "net/netutils.h"
#include "realtime.h"
#include "utils.h"

DEFINE_string(saveinput, "", "Save input stream to file");

namespace {

constexpr size_t TABLE_BYTES = EthLinuxIf::TABLE_WORDS * sizeof(uint32_t);

// Hot-path failures are logged on the 1st, 101st, 201st... occurrence.
bool logThisOne(unsigned& counter) {
    return counter++ % 100 == 0;
}

void dropPsi(unsigned int, const unsigned char*, unsigned int) {}

// Where PSI/SI goes while no Muxer is bound.
const EthLinuxIf::PsiInput no_psi_input = EthLinuxIf::PsiInput::from_function<&dropPsi>();

bool inSidRange(unsigned int sid) {
    return sid >= 1 && sid <= EthLinuxIf::MAX_INPUT_SID;
}

}  // namespace

EthLinuxIf& EthLinuxIf::getInstance() {
    static EthLinuxIf instance;
    return instance;
}

EthLinuxIf::EthLinuxIf() : psi_input(&no_psi_input) {
    for (auto& p : pcr_pids) {
        p.store(-1, std::memory_order_relaxed);
    }
    rx_rings_by_name.reserve(10);
    rx_rings_by_name.max_load_factor(1.0f);
    stream_addrs.reserve(10);
    stream_addrs.max_load_factor(1.0f);
    stream_vlans.reserve(10);
    stream_vlans.max_load_factor(1.0f);
    stream_ifnames.reserve(10);
    stream_ifnames.max_load_factor(1.0f);
    dissect_map.reserve(10);
    dissect_map.max_load_factor(1.0f);
    initInputDelegates();

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
    stop();
    closeSaveFile();
    if (inject_sock >= 0) {
        close(inject_sock);
    }
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
    pcr_pids[ring].store(static_cast<int>(pid), std::memory_order_release);
    tx_rings[ring].setPcrPid(static_cast<int>(pid));
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

void EthLinuxIf::setPsiInput(PsiInput input) {
    std::lock_guard<std::mutex> guard(psi_input_lock);
    psi_inputs.push_back(std::make_unique<PsiInput>(input));
    psi_input.store(psi_inputs.back().get(), std::memory_order_release);
}

void EthLinuxIf::clearPsiInput(const void* object) {
    std::lock_guard<std::mutex> guard(psi_input_lock);
    if (psi_input.load(std::memory_order_relaxed)->object() == object) {
        psi_input.store(&no_psi_input, std::memory_order_release);
    }
}

int EthLinuxIf::init(const std::vector<std::string>& rx_interfaces,
                     const std::vector<std::string>& tx_interfaces) {
    if (initialised) {
        LOG(ERROR) << "network engine already initialised";
        return -1;
    }
    if (stream_pid_map == nullptr) {
        LOG(ERROR) << "failed to allocate " << TABLE_BYTES << " bytes for stream_pid_map";
        return -1;
    }
    if (rx_interfaces.empty() || tx_interfaces.empty()) {
        LOG(ERROR) << "at least one input and output interfaces must be specified";
        return -1;
    }

    rx_rings_by_name.clear();
    rx_ring_count = 0;
    for (const std::string& name : rx_interfaces) {
        if (rx_ring_count == RX_RING_COUNT) {
            break;
        }
        const int index = net::getIfIndex(name);
        if (index < 0) {
            LOG(WARNING) << "interface \"" << name << "\" ignored";
            continue;
        }
        LOG(INFO) << "interface \"" << name << "\" index " << index;
        RxRing& ring = rx_rings[rx_ring_count];
        if (ring.init(index, name) != 0) {
            return -1;
        }
        rx_rings_by_name[name] = &ring;
        ++rx_ring_count;
    }
    if (rx_ring_count == 0) {
        LOG(ERROR) << "at least one valid input interface required";
        return -1;
    }

    if (tx_interfaces.size() > 1) {
        LOG(ERROR) << "only one output interface is supported";
        return -1;
    }
    const std::string& tx_name = tx_interfaces[0];
    const int tx_index = net::getIfIndex(tx_name);
    if (tx_index < 0) {
        LOG(WARNING) << "interface \"" << tx_name << "\" ignored";
        return -1;
    }
    LOG(INFO) << "interface \"" << tx_name << "\" index " << tx_index;

    inject_sock = socket(AF_PACKET, SOCK_RAW, 0);
    if (inject_sock < 0) {
        PLOG(ERROR) << "socket()";
        return -1;
    }
    packet_ring bound;
    memset(&bound, 0, sizeof(bound));
    bind_tx_ring(inject_sock, &bound, tx_index);

    const long long offset = static_cast<long long>(realtime::nic_tsc_offset());
    for (unsigned i = 0; i < OUTPUT_COUNT; ++i) {
        if (tx_rings[i].init(FIRST_OUTPUT_SID + i, tx_index, offset) != 0) {
            return -1;
        }
    }
    initialised = true;
    return 0;
}

void* EthLinuxIf::thread_fn_helper(void* engine) {
    static_cast<EthLinuxIf*>(engine)->thread_fn();
    return nullptr;
}

int EthLinuxIf::start() {
    if (thread_started) {
        LOG(ERROR) << "network engine already started";
        return -1;
    }
    running.store(true, std::memory_order_release);
    const int result = pthread_create(&thread, nullptr, &EthLinuxIf::thread_fn_helper, this);
    if (result != 0) {
        errno = result;
        PLOG(ERROR) << "pthread_create";
        running.store(false, std::memory_order_release);
        return result;
    }
    thread_started = true;
    return 0;
}

void EthLinuxIf::stop() {
    if (!thread_started) {
        return;
    }
    running.store(false, std::memory_order_release);
    pthread_join(thread, nullptr);
    thread_started = false;
}

void EthLinuxIf::adjustPriority() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(1, &cpus);
    const int result = pthread_setaffinity_np(pthread_self(), sizeof(cpus), &cpus);
    if (result != 0) {
        errno = result;
        PLOG(ERROR) << "pthread_setaffinity_np()";
    } else {
        LOG(INFO) << "CPU affinity set to core 1";
    }
}

void EthLinuxIf::thread_fn() {
    pthread_setname_np(pthread_self(), "engine");
    adjustPriority();
    LOG(INFO) << "Running! Hang up with ^C!";
    while (running.load(std::memory_order_relaxed)) {
        for (unsigned r = 0; r < rx_ring_count; ++r) {
            frame_map* frame = nullptr;
            const int sid = rx_rings[r].peek(frame);
            if (sid != 0) {
                ring_byte_counters[r].fetch_add(frame->tp_len, std::memory_order_relaxed);
                dispatch(static_cast<unsigned>(sid), frame);
                rx_rings[r].pop();
            }
            processTx();
        }
    }
}

void EthLinuxIf::processTx() {
    for (TxRing& ring : tx_rings) {
        ring.transmitIfReady(realtime::get_tsc());
    }
}

int EthLinuxIf::addInputStream(unsigned int sid, const std::string& ifname, const std::string& address,
                               unsigned int port, int mode, const std::vector<std::string>& sources,
                               int vlan) {
    if (!inSidRange(sid)) {
        LOG(ERROR) << "SID out of HW-limited range";
        return -1;
    }
    auto ring = rx_rings_by_name.find(ifname);
    if (ring == rx_rings_by_name.end()) {
        LOG(WARNING) << "interface \"" << ifname << "\" not exists";
        return -1;
    }
    sockaddr_in destination;
    memset(&destination, 0, sizeof(destination));
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(port));
    const int parsed = inet_pton(AF_INET, address.c_str(), &destination.sin_addr);
    if (parsed != 1) {
        if (parsed == 0) {
            errno = EINVAL;
        }
        PLOG(WARNING) << "inet_pton";
        return -1;
    }
    std::vector<sockaddr_in> source_list;
    source_list.reserve(MAX_SOURCES);
    for (const std::string& text : sources) {
        if (source_list.size() == MAX_SOURCES) {
            LOG(WARNING) << "IN SID " << sid << ": more than " << MAX_SOURCES << " sources, the rest ignored";
            break;
        }
        sockaddr_in source;
        memset(&source, 0, sizeof(source));
        source.sin_family = AF_INET;
        if (inet_pton(AF_INET, text.c_str(), &source.sin_addr) == 1) {
            source_list.push_back(source);
        }
    }
    if (ring->second->addStream(sid, destination, mode, source_list.empty() ? nullptr : source_list.data(),
                                static_cast<unsigned>(source_list.size()), vlan) != 0) {
        return -1;
    }
    if (address == FLAGS_saveinput) {
        save_sid.store(static_cast<int>(sid), std::memory_order_relaxed);
    }
    stream_addrs[sid] = destination;
    stream_vlans[sid] = vlan;
    stream_ifnames[sid] = ifname;
    // The ring's address table sees the stream before its frames are analysed.
    usleep(10000);
    setHandler(sid, &analyse_delegate);
    LOG(INFO) << ifname << ": created input stream " << address << ":" << port;
    return 0;
}

int EthLinuxIf::deleteInputStream(unsigned int sid) {
    auto ifname = stream_ifnames.find(sid);
    auto destination = stream_addrs.find(sid);
    if (ifname == stream_ifnames.end() || destination == stream_addrs.end()) {
        LOG(ERROR) << "SID " << sid << " not registered";
        return -1;
    }
    setHandler(sid, &discard_delegate);
    uint32_t* actions = stream_pid_map + (static_cast<size_t>(sid) << 13);
    for (unsigned pid = 0; pid < PID_COUNT; ++pid) {
        __atomic_store_n(&actions[pid], 0u, __ATOMIC_RELEASE);
    }
    auto ring = rx_rings_by_name.find(ifname->second);
    if (ring != rx_rings_by_name.end()) {
        ring->second->removeStream(sid, destination->second, stream_vlans[sid]);
    }
    stream_addrs.erase(sid);
    stream_ifnames.erase(sid);
    stream_vlans.erase(sid);
    return 0;
}

int EthLinuxIf::addOutputStream(unsigned int sid, const std::string& ifname, const std::string& address) {
    if (sid < FIRST_OUTPUT_SID || sid >= FIRST_OUTPUT_SID + OUTPUT_COUNT) {
        LOG(ERROR) << "SID out of HW-limited range";
        return -1;
    }
    unsigned char header[HEADER_LEN];
    if (net::makeUdpHeader(ifname, address, TS_PACKET_SIZE, header) != static_cast<int>(HEADER_LEN)) {
        return -1;
    }
    setOutputHeader(sid, header, HEADER_LEN);
    tx_rings[sid - FIRST_OUTPUT_SID].fillHeaders(header, HEADER_LEN);
    LOG(INFO) << ifname << ": created output stream " << address;
    return 0;
}

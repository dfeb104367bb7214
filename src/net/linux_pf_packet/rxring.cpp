#include "rxring.h"

#include <arpa/inet.h>
#include <glog/logging.h>
#include <linux/ethtool.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bpf.h"
#include "net/netutils.h"
#include "net/vlan_util.h"
#include "utils.h"

namespace {

constexpr size_t ADDR_MAP_BYTES = RxRing::MAX_STREAMS * sizeof(uint64_t);

// Low word as the frame carries it: UDP destination port (network order) and the VLAN id
// above it; high word: IPv4 destination (network order).
uint64_t entryOf(uint32_t address, uint32_t key) {
    return static_cast<uint64_t>(address) << 32 | key;
}

uint32_t addressKey(const sockaddr_in& dst, int vlan) {
    return static_cast<uint32_t>(dst.sin_port) | static_cast<uint32_t>(vlan) << 16;
}

// An interface ioctl that passes its request data through ifr_data (timestamping, ethtool).
int interfaceIoctl(int sock, const std::string& name, unsigned long request, void* data) {
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    ifr.ifr_data = static_cast<char*>(data);
    return ioctl(sock, request, &ifr);
}

// Asks the driver to delete its receive classification rule at `location`.
bool deleteRuleAt(int sock, const std::string& name, int location) {
    struct ethtool_rxnfc nfc;
    memset(&nfc, 0, sizeof(nfc));
    nfc.cmd = ETHTOOL_SRXCLSRLDEL;
    nfc.fs.location = static_cast<uint32_t>(location);
    return interfaceIoctl(sock, name, SIOCETHTOOL, &nfc) == 0;
}

}  // namespace

RxRing::RxRing() {
    memset(&ring, 0, sizeof(ring));
}

RxRing::~RxRing() {
    if (ring.map_base != nullptr)
        munmap(ring.map_base, ring.map_len);
    free(ring.frame_table);
    if (sock >= 0)
        close(sock);
    for (const auto& entry : vlan_sockets)
        close(entry.second);
    if (stream_addr_map != nullptr) {
        munlock(stream_addr_map, ADDR_MAP_BYTES);
        free(stream_addr_map);
    }
}

uint64_t RxRing::streamKey(const sockaddr_in& dst, int vlan) {
    return static_cast<uint64_t>(addressKey(dst, vlan)) << 32 | dst.sin_addr.s_addr;
}

int RxRing::init(int ifindex_, const std::string& name_) {
    ifindex = ifindex_;
    name = name_;
    void* block = nullptr;
    if (posix_memalign(&block, 32, ADDR_MAP_BYTES) != 0 || block == nullptr) {
        LOG(ERROR) << "failed to allocate stream_addr_map";
        return -1;
    }
    stream_addr_map = static_cast<uint64_t*>(block);
    mlock(stream_addr_map, ADDR_MAP_BYTES);
    memset(stream_addr_map, 0, ADDR_MAP_BYTES);

    const int untagged = socket(AF_INET, SOCK_DGRAM, 0);
    if (untagged < 0) {
        PLOG(WARNING) << name << ": socket()";
        return -1;
    }
    vlan_sockets[0] = untagged;

    sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (sock < 0) {
        PLOG(ERROR) << "socket()";
        return -1;
    }

    struct hwtstamp_config config;
    memset(&config, 0, sizeof(config));
    config.tx_type = HWTSTAMP_TX_OFF;
    config.rx_filter = HWTSTAMP_FILTER_ALL;
    int source = SOF_TIMESTAMPING_RAW_HARDWARE;
    if (interfaceIoctl(sock, name, SIOCSHWTSTAMP, &config) != 0) {
        PLOG(ERROR) << name << ": ioctl(SIOCSHWTSTAMP), fall back to SW timestamp";
        source = SOF_TIMESTAMPING_SOFTWARE;
    }
    if (setsockopt(sock, SOL_PACKET, PACKET_TIMESTAMP, &source, sizeof(source)) != 0)
        PLOG(ERROR) << name << ": setsockopt(PACKET_TIMESTAMP)";

    initGianfarFilter();
    if (filer_accepted) {
        setBpfQ();
    } else {
        // Without the filer every frame would sit in queue 0 and the queue filter would drop
        // them all; the streams' addresses decide instead.
        LOG(WARNING) << name << ": receive filer rules refused by the driver, filtering by stream address";
        setBpf();
    }

    LOG(INFO) << name << ": mmaped ring size RX: " << RING_SIZE;
    memset(&ring, 0, sizeof(ring));
    frame_index = 0;
    setup_rx_ring_layout(sock, &ring, RING_SIZE, false, false);
    create_rx_ring(sock, &ring, true);
    mmap_rx_ring(sock, &ring);
    alloc_rx_ring_frames(sock, &ring);
    bind_rx_ring(sock, &ring, ifindex);
    return 0;
}

int RxRing::peek(frame_map*& out) {
    frame_map* frame = static_cast<frame_map*>(ring.frame_table[frame_index].iov_base);
    const uint32_t status = __atomic_load_n(&frame->tp_status, __ATOMIC_ACQUIRE);
    if ((status & TP_STATUS_USER) == 0)
        return 0;
    out = frame;
    const uint32_t vlan =
        (status & TP_STATUS_VLAN_VALID) ? (static_cast<uint32_t>(frame->tp_vlan_tci) << 16) & 0x0FFF0000 : 0;
    // Untagged Ethernet header; a tag, if any, has been moved into tp_vlan_tci.
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(frame) + frame->tp_mac + 14;
    uint16_t port;
    uint32_t address;
    memcpy(&port, ip + 22, sizeof(port));
    memcpy(&address, ip + 16, sizeof(address));
    const uint64_t wanted = entryOf(address, port | vlan);
    // A frame whose fields are all zero must not match a free entry.
    if (wanted != 0) {
        for (unsigned int sid = 1; sid < MAX_STREAMS; ++sid) {
            if (__atomic_load_n(&stream_addr_map[sid], __ATOMIC_RELAXED) == wanted)
                return static_cast<int>(sid);
        }
    }
    pop();
    return 0;
}

void RxRing::pop() {
    frame_map* frame = static_cast<frame_map*>(ring.frame_table[frame_index].iov_base);
    __atomic_store_n(&frame->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    if (++frame_index == ring.req.tp_frame_nr)
        frame_index = 0;
}

int RxRing::addStream(unsigned int sid, const sockaddr_in& dst, int mode, const sockaddr_in* sources,
                      unsigned int count, int vlan) {
    if (sid == 0 || sid >= MAX_STREAMS) {
        LOG(ERROR) << "SID out of HW-limited range";
        return -1;
    }
    const uint32_t key = addressKey(dst, vlan);
    streams[streamKey(dst, vlan)] = dst;
    if (filer_accepted == false)
        setBpf();
    __atomic_store_n(&stream_addr_map[sid], entryOf(dst.sin_addr.s_addr, key), __ATOMIC_RELEASE);

    // A unicast destination needs no membership.
    if (IN_MULTICAST(ntohl(dst.sin_addr.s_addr)) && igmpJoin(dst, mode, sources, count, vlan) != 0)
        LOG(WARNING) << "IGMP join failed";
    if (filer_accepted && addFilterRule(dst.sin_addr.s_addr, dst.sin_port) < 1)
        LOG(WARNING) << "FAILED TO ADD HARDWARE FILTER RULE";
    return 0;
}

int RxRing::removeStream(unsigned int sid, const sockaddr_in& dst, int vlan) {
    if (sid == 0 || sid >= MAX_STREAMS) {
        LOG(ERROR) << "SID out of HW-limited range";
        return -1;
    }
    __atomic_store_n(&stream_addr_map[sid], uint64_t{0}, __ATOMIC_RELEASE);
    streams.erase(streamKey(dst, vlan));
    if (filer_accepted == false)
        setBpf();

    bool shared = false;
    for (const auto& entry : streams) {
        if (entry.second.sin_addr.s_addr == dst.sin_addr.s_addr) {
            shared = true;
            break;
        }
    }
    if (!shared && IN_MULTICAST(ntohl(dst.sin_addr.s_addr)))
        igmpLeave(dst, vlan);
    if (filer_accepted)
        deleteFilterRule(dst.sin_addr.s_addr, dst.sin_port);
    return 0;
}

std::string RxRing::membershipInterface(int vlan) const {
    return vlan == 0 ? name : utils::string_format("%s.%d", name.c_str(), vlan);
}

int RxRing::igmpJoin(const sockaddr_in& group, int mode, const sockaddr_in* sources, unsigned int count,
                     int vlan) {
    const std::string ifname = membershipInterface(vlan);
    auto found = vlan_sockets.find(vlan);
    if (found == vlan_sockets.end()) {
        if (vlan_add(name.c_str(), vlan, ifname.c_str()) == -1)
            return -1;
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) {
            PLOG(WARNING) << name << ": socket()";
            return -1;
        }
        found = vlan_sockets.emplace(vlan, s).first;
    }
    const int membership = found->second;

    struct group_req req;
    memset(&req, 0, sizeof(req));
    req.gr_interface = static_cast<uint32_t>(net::getIfIndex(ifname));
    memcpy(&req.gr_group, &group, sizeof(group));
    // Streams on other ports of the same group share the socket's membership.
    if (setsockopt(membership, IPPROTO_IP, MCAST_JOIN_GROUP, &req, sizeof(req)) != 0 && errno != EADDRINUSE) {
        PLOG(WARNING) << name << ": setsockopt(MCAST_JOIN_GROUP)";
        return -1;
    }
    if (sources == nullptr || count == 0)
        return 0;

    const size_t size = GROUP_FILTER_SIZE(count);
    struct group_filter* filter = static_cast<struct group_filter*>(calloc(1, size));
    if (filter == nullptr) {
        LOG(WARNING) << name << ": failed to allocate " << size << " bytes";
        return -1;
    }
    filter->gf_interface = req.gr_interface;
    memcpy(&filter->gf_group, &group, sizeof(group));
    filter->gf_fmode = static_cast<uint32_t>(mode);
    filter->gf_numsrc = count;
    for (unsigned int i = 0; i < count; ++i)
        memcpy(&filter->gf_slist[i], &sources[i], sizeof(sockaddr_in));
    int result = 0;
    if (setsockopt(membership, IPPROTO_IP, MCAST_MSFILTER, filter, static_cast<socklen_t>(size)) != 0) {
        PLOG(WARNING) << "setsockopt(MCAST_MSFILTER)";
        result = -1;
    }
    free(filter);
    return result;
}

int RxRing::igmpLeave(const sockaddr_in& group, int vlan) {
    auto found = vlan_sockets.find(vlan);
    if (found == vlan_sockets.end()) {
        errno = ENODEV;
        PLOG(WARNING) << name << ": setsockopt(MCAST_LEAVE_GROUP)";
        return -1;
    }
    struct group_req req;
    memset(&req, 0, sizeof(req));
    req.gr_interface = static_cast<uint32_t>(net::getIfIndex(membershipInterface(vlan)));
    memcpy(&req.gr_group, &group, sizeof(group));
    if (setsockopt(found->second, IPPROTO_IP, MCAST_LEAVE_GROUP, &req, sizeof(req)) != 0) {
        PLOG(WARNING) << name << ": setsockopt(MCAST_LEAVE_GROUP)";
        return -1;
    }
    return 0;
}

void RxRing::initGianfarFilter() {
    filter_rules.resize(RULE_ENTRIES);
    deleteAllFilterRules();
    const int discard =
        addGianfarFilterRule(htonl(0xE0000000), htonl(0x0FFFFFFF), 0, 0, 0, 0, DISCARD_LOCATION, -1);
    for (RuleEntry& entry : filter_rules)
        entry = RuleEntry();
    if (filter_rules.size() != RULE_ENTRIES)
        LOG(FATAL) << "wrong list size";
    const int igmp = addGianfarFilterRule(htonl(0xE0000000), htonl(0x0FFFFFFF), 0, 0, IPPROTO_IGMP, 0xFF,
                                          IGMP_LOCATION, 0);
    filer_accepted = discard == DISCARD_LOCATION && igmp == IGMP_LOCATION;
}

int RxRing::deleteAllFilterRules() {
    for (int location = 0; location <= DISCARD_LOCATION; ++location) {
        if (deleteRuleAt(sock, name, location))
            LOG(INFO) << name << ": deleted hardware filter rule with id #" << location;
    }
    return 1;
}

int RxRing::addGianfarFilterRule(unsigned int address, unsigned int address_mask, unsigned short port,
                                 unsigned short port_mask, unsigned char protocol,
                                 unsigned char protocol_mask, int location, int action) {
    if (address == 0 || (protocol != 0 && port != 0))
        return -EINVAL;
    struct ethtool_rxnfc nfc;
    memset(&nfc, 0, sizeof(nfc));
    nfc.cmd = ETHTOOL_SRXCLSRLINS;
    struct ethtool_rx_flow_spec& fs = nfc.fs;
    fs.flow_type = protocol == 0 ? UDP_V4_FLOW : IP_USER_FLOW;
    if (address_mask != 0) {
        fs.h_u.usr_ip4_spec.ip4dst = address;
        fs.m_u.usr_ip4_spec.ip4dst = address_mask;
        fs.h_u.usr_ip4_spec.ip_ver = ETH_RX_NFC_IP4;
    }
    if (protocol_mask != 0) {
        fs.h_u.usr_ip4_spec.proto = protocol;
        fs.m_u.usr_ip4_spec.proto = protocol_mask;
    }
    if (port_mask != 0) {
        fs.h_u.udp_ip4_spec.pdst = port;
        fs.m_u.udp_ip4_spec.pdst = port_mask;
    }
    fs.ring_cookie = action == -1 ? RX_CLS_FLOW_DISC : static_cast<uint64_t>(static_cast<int64_t>(action));
    fs.location = static_cast<uint32_t>(location);
    if (interfaceIoctl(sock, name, SIOCETHTOOL, &nfc) != 0)
        return -1;
    return location;
}

int RxRing::addFilterRule(unsigned int address, unsigned short port) {
    LOG(INFO) << name << ": trying to add hw filter on " << address << " " << port;
    // Entry i takes location 253 - i, so a freed entry gets its old location back.
    int last = DISCARD_LOCATION;
    RuleEntry* entry = nullptr;
    int location = -1;
    for (unsigned int i = 0; i < filter_rules.size(); ++i) {
        if (filter_rules[i].location == -1) {
            entry = &filter_rules[i];
            location = last - 1;
            break;
        }
        last = filter_rules[i].location;
    }
    // Location 0 belongs to the IGMP rule.
    if (entry == nullptr || location < 1)
        return -ENOMEM;
    const int result = addGianfarFilterRule(address, 0xFFFFFFFF, port, 0xFFFF, 0, 0, location, 1);
    if (result < 1) {
        PLOG(ERROR) << name << ": cannot insert hardware filter rule";
        return result;
    }
    entry->address = address;
    entry->port = port;
    entry->location = location;
    LOG(INFO) << name << ": added IP hardware filter rule with id #" << location;
    return location;
}

int RxRing::deleteGianfarFilterRule(int location) {
    if (location > 255)
        return -EINVAL;
    if (!deleteRuleAt(sock, name, location))
        return -1;
    return location;
}

int RxRing::deleteFilterRule(unsigned int address, unsigned short port) {
    for (RuleEntry& entry : filter_rules) {
        if (entry.location != -1 && entry.address == address && entry.port == port) {
            const int location = entry.location;
            entry = RuleEntry();
            if (deleteGianfarFilterRule(location) < 1)
                PLOG(ERROR) << name << ": cannot delete HW rule id #" << location;
            else
                LOG(INFO) << name << ": deleted HW rule id #" << location;
            return location;
        }
    }
    return -ENOENT;
}

void RxRing::setBpfQ() {
    // The kernel records the receive queue as the hardware queue number + 1.
    static struct sock_filter queue_one[] = {
        {0x0020, 0, 0, 0xFFFFF018},
        {0x0025, 0, 1, 0x00000001},
        {0x0006, 0, 0, 0xFFFFFFFF},
        {0x0006, 0, 0, 0x00000000},
    };
    struct sock_fprog program = {4, queue_one};
    if (setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) != 0)
        PLOG(ERROR) << "setsockopt(SO_ATTACH_FILTER)";
}

std::string RxRing::bpfExpression() const {
    if (streams.empty())
        return "less 1";
    std::string expression = "udp and greater 229 and (";
    for (const auto& entry : streams) {
        expression += utils::string_format("(dst host %s and dst port %d) or ",
                                           net::sockAddrToString(entry.second).c_str(),
                                           static_cast<int>(ntohs(entry.second.sin_port)));
    }
    expression.resize(expression.size() - 3);
    expression += ")";
    return expression;
}

void RxRing::setBpf() {
    const std::string expression = bpfExpression();
    LOG(INFO) << "BPF filter \"" << expression << "\"";
    struct sock_fprog program;
    memset(&program, 0, sizeof(program));
    bpf_parse_rules(expression.c_str(), &program, 1);
    // Attaching replaces the previous filter in one step; detaching first would let every frame
    // through in between.
    if (bpf_attach_to_sock(sock, &program) != 0)
        PLOG(WARNING) << "bpf_attach_from_sock";
    free(program.filter);
}

#include "netutils.h"

#include <arpa/inet.h>
#include <glog/logging.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "utils.h"

namespace net {

namespace {

void put16(unsigned char* p, unsigned int v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

// ioctl on an ifreq naming the interface; the socket is always closed.
bool ifreq_ioctl(const std::string& ifname, unsigned long request, const char* what, struct ifreq* ifr) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        PLOG(ERROR) << "socket()";
        return false;
    }
    memset(ifr, 0, sizeof(*ifr));
    strncpy(ifr->ifr_name, ifname.c_str(), IFNAMSIZ);
    // A 16-character name has no room for its terminator: the kernel must not see a longer one.
    ifr->ifr_name[IFNAMSIZ - 1] = 0;
    int rc = ioctl(sock, request, ifr);
    if (rc < 0)
        PLOG(ERROR) << what;
    close(sock);
    return rc >= 0;
}

}  // namespace

void multicastGroupToMac(unsigned char* mac, const sockaddr_in* group) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(&group->sin_addr.s_addr);
    mac[0] = 0x01;
    mac[1] = 0x00;
    mac[2] = 0x5E;
    mac[3] = a[1] & 0x7F;
    mac[4] = a[2];
    mac[5] = a[3];
}

unsigned short ipHeaderChecksum(const unsigned short* words, unsigned int count) {
    unsigned int sum = 0;
    for (unsigned int i = 0; i < count; ++i)
        sum += words[i];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<unsigned short>(~sum);
}

int getIfIpAddr(const std::string& ifname, sockaddr_in* addr) {
    struct ifaddrs* list;
    if (getifaddrs(&list) < 0) {
        PLOG(ERROR) << "getifaddrs()";
        return -1;
    }
    int result = -1;
    for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET || ifname != ifa->ifa_name)
            continue;
        char host[NI_MAXHOST];
        if (getnameinfo(ifa->ifa_addr, sizeof(struct sockaddr_in), host, sizeof(host), nullptr, 0,
                        NI_NUMERICHOST) != 0) {
            PLOG(ERROR) << "getnameinfo()";
            break;
        }
        addr->sin_family = AF_INET;
        if (inet_pton(AF_INET, host, &addr->sin_addr) == 1)
            result = 0;
        break;
    }
    freeifaddrs(list);
    return result;
}

int getIfMacAddr(const std::string& ifname, unsigned char* mac) {
    struct ifreq ifr;
    if (!ifreq_ioctl(ifname, SIOCGIFHWADDR, "ioctl(SIOCGIFHWADDR)", &ifr))
        return -1;
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int getIfIndex(const std::string& ifname) {
    struct ifreq ifr;
    if (!ifreq_ioctl(ifname, SIOCGIFINDEX, "ioctl(SIOCGIFINDEX)", &ifr))
        return -1;
    return ifr.ifr_ifindex;
}

std::string sockAddrToString(const sockaddr_in& addr) {
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(addr.sin_family, &addr.sin_addr, text, sizeof(text)) == nullptr) {
        PLOG(ERROR) << "inet_ntop()";
        return "<invalid>";
    }
    return text;
}

int makeUdpHeader(const std::string& ifname, const std::string& destination, unsigned int payload_len,
                  unsigned char* header) {
    memset(header, 0, UDP_HEADER_LEN);
    put16(header + 12, 0x0800);
    // The IPv4 total length is 16 bits wide; a longer payload would get a wrapped length.
    if (payload_len > 0xFFFF - 28) {
        LOG(ERROR) << "payload length " << payload_len << " does not fit a UDP/IPv4 datagram";
        return 0;
    }

    if (getIfMacAddr(ifname, header + 6) < 0) {
        LOG(ERROR) << "cannot get MAC address for " << ifname;
        return 0;
    }
    LOG(INFO) << ifname << ": MAC " << utils::to_hex(header + 6, 6, ':');

    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    if (inet_pton(AF_INET, destination.c_str(), &dst.sin_addr) != 1) {
        PLOG(WARNING) << "inet_pton";
        return 0;
    }
    multicastGroupToMac(header, &dst);
    put16(header + 34, 1234);
    put16(header + 36, 1234);

    sockaddr_in src{};
    if (getIfIpAddr(ifname, &src) < 0) {
        LOG(ERROR) << "cannot get IP address for " << ifname;
        return 0;
    }
    LOG(INFO) << ifname << ": local IP " << sockAddrToString(src);

    unsigned char* ip = header + 14;
    ip[0] = 0x45;
    ip[1] = 0;
    put16(ip + 2, payload_len + 28);
    put16(ip + 4, 0xD431);
    put16(ip + 6, 0x4000);
    ip[8] = 255;
    ip[9] = IPPROTO_UDP;
    memcpy(ip + 12, &src.sin_addr.s_addr, 4);
    memcpy(ip + 16, &dst.sin_addr.s_addr, 4);
    put16(header + 38, payload_len + 8);

    unsigned short words[10];
    memcpy(words, ip, sizeof(words));
    unsigned short checksum = ipHeaderChecksum(words, 10);
    memcpy(ip + 10, &checksum, 2);
    return static_cast<int>(UDP_HEADER_LEN);
}

}  // namespace net

#pragma once

#include <netinet/in.h>

#include <string>

// Questions about network interfaces and the Ethernet/IPv4/UDP header of output frames.
namespace net {

// Length of the header that makeUdpHeader writes.
constexpr unsigned int UDP_HEADER_LEN = 42;

// Writes 01:00:5E followed by the low 23 bits of the group address.
void multicastGroupToMac(unsigned char* mac, const sockaddr_in* group);
// Internet checksum (RFC 1071) of `count` 16-bit words as stored; 0 over a header whose
// checksum field already holds the right value.
unsigned short ipHeaderChecksum(const unsigned short* words, unsigned int count);

// First IPv4 address of the interface in the system's list: 0, or -1.
int getIfIpAddr(const std::string& ifname, sockaddr_in* addr);
// Hardware address (6 bytes): 0, or -1.
int getIfMacAddr(const std::string& ifname, unsigned char* mac);
// Kernel interface index, or -1.
int getIfIndex(const std::string& ifname);
// Dotted address, or "<invalid>".
std::string sockAddrToString(const sockaddr_in& addr);

// Builds the 42-byte header of an output stream sent from `ifname` to `destination` (dotted
// IPv4) with `payload_len` bytes of UDP payload: multicast MAC of the destination, source MAC
// and first IPv4 address of the interface, ports 1234, no UDP checksum. Returns 42, or 0 when
// the interface or the destination cannot be resolved.
int makeUdpHeader(const std::string& ifname, const std::string& destination, unsigned int payload_len,
                  unsigned char* header);

}  // namespace net

#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packet_ring.h"

// Everything that happens on one receive interface: a TPACKET_V2 receive ring, receive
// timestamps, the steering of wanted UDP flows into the ring (the gianfar receive filer with a
// queue filter, or, where the driver refuses filer rules, an address filter built from the
// streams), multicast memberships per VLAN, and the table that maps a frame's destination
// (VLAN, port, address) to its input stream's SID. peek and pop run in the engine thread;
// addStream and removeStream in the thread that changes streams.
class RxRing {
  public:
    static constexpr unsigned int MAX_STREAMS = 64;
    static constexpr unsigned int RULE_ENTRIES = 254;
    static constexpr unsigned int RING_SIZE = 33554432;
    static constexpr int IGMP_LOCATION = 0;
    static constexpr int DISCARD_LOCATION = 254;

    RxRing();
    ~RxRing();
    RxRing(const RxRing&) = delete;
    RxRing& operator=(const RxRing&) = delete;

    // 0, or -1 when an early step fails; ring failures end the process.
    int init(int ifindex, const std::string& name);

    // SID of the stream the next frame belongs to (the slot stays ours until pop), or 0 when no
    // frame waits or the waiting frame belonged to no stream (it has then been handed back).
    int peek(frame_map*& out);
    // Hands the current slot back to the kernel and moves on.
    void pop();

    // The stream receives from the moment its entry is written, whatever becomes of its
    // membership and filter rule (failures are logged). Always 0.
    int addStream(unsigned int sid, const sockaddr_in& dst, int mode, const sockaddr_in* sources,
                  unsigned int count, int vlan);
    int removeStream(unsigned int sid, const sockaddr_in& dst, int vlan);

    // Membership of `group` on the ring's interface, or on its VLAN link "<name>.<vlan>" (made
    // on first use). With sources, `mode` 1 receives only from them, 0 from all but them.
    int igmpJoin(const sockaddr_in& group, int mode, const sockaddr_in* sources, unsigned int count,
                 int vlan);
    int igmpLeave(const sockaddr_in& group, int vlan);

    // Receive filer of the gianfar driver. Addresses, ports and their masks are in network
    // order, as the driver takes them.
    void initGianfarFilter();
    int addGianfarFilterRule(unsigned int address, unsigned int address_mask, unsigned short port,
                             unsigned short port_mask, unsigned char protocol, unsigned char protocol_mask,
                             int location, int action);
    int addFilterRule(unsigned int address, unsigned short port);
    int deleteGianfarFilterRule(int location);
    int deleteFilterRule(unsigned int address, unsigned short port);
    int deleteAllFilterRules();

    // Queue filter: passes only what the filer put into hardware queue 1.
    void setBpfQ();
    // Address filter: passes only UDP frames to the streams' destinations.
    void setBpf();
    // The expression setBpf compiles for the present streams.
    std::string bpfExpression() const;

    // True when the driver refused the filer rules and the address filter stands in for them.
    bool usesAddressFilter() const { return !filer_accepted; }
    const std::string& getName() const { return name; }
    int getIfIndex() const { return ifindex; }
    int getSocket() const { return sock; }
    unsigned int getFrameIndex() const { return frame_index; }
    unsigned int getFrameCount() const { return ring.req.tp_frame_nr; }

  private:
    struct RuleEntry {
        unsigned int address = 0;
        unsigned short port = 0;
        int location = -1;
    };

    static uint64_t streamKey(const sockaddr_in& dst, int vlan);
    std::string membershipInterface(int vlan) const;

    int ifindex = -1;
    std::string name;
    int sock = -1;
    packet_ring ring;
    unsigned int frame_index = 0;
    std::vector<RuleEntry> filter_rules;
    std::map<int, int> vlan_sockets;
    // Entry s: destination of SID s as (address << 32) | (port | vlan << 16), 0 when free. One
    // 64-bit word per entry, so the engine thread never sees half an update.
    uint64_t* stream_addr_map = nullptr;
    std::map<uint64_t, sockaddr_in> streams;
    bool filer_accepted = false;
};

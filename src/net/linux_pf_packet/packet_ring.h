#pragma once

// Memory-mapped AF_PACKET rings (TPACKET_V2) for both directions. A ring is set up by calling,
// in order, on a zeroed packet_ring: setup_*_ring_layout, create_*_ring, mmap_*_ring,
// alloc_*_ring_frames, bind_*_ring. Failures end the process (message on standard error,
// exit status 1): rings are built once at start-up and nothing runs without them.

#include <linux/if_packet.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

struct packet_ring {
    struct iovec* frame_table;  // one entry per frame, 128-byte aligned
    uint8_t* map_base;
    size_t map_len;  // block size * block count actually granted
    struct sockaddr_ll link_addr;
    struct tpacket_req req;
};

// One ring slot as the kernel shares it: a tpacket2_hdr, then a sockaddr_ll at the aligned
// header length. Receive: the frame starts at slot + tp_mac. Transmit: the frame is written at
// slot + TX_FRAME_OFFSET and its length into tp_len.
struct frame_map {
    uint32_t tp_status;
    uint32_t tp_len;
    uint32_t tp_snaplen;
    uint16_t tp_mac;
    uint16_t tp_net;
    uint32_t tp_sec;
    uint32_t tp_nsec;
    uint16_t tp_vlan_tci;
    uint16_t tp_vlan_tpid;
    uint8_t tp_padding[4];
    struct sockaddr_ll s_ll;
};

// Where a transmitted frame's bytes start inside its slot.
constexpr size_t TX_FRAME_OFFSET = TPACKET2_HDRLEN - sizeof(struct sockaddr_ll);

void setup_rx_ring_layout(int sock, struct packet_ring* ring, size_t size, bool jumbo_support,
                          bool keep_version);
void create_rx_ring(int sock, struct packet_ring* ring, bool verbose);
void mmap_rx_ring(int sock, struct packet_ring* ring);
void alloc_rx_ring_frames(int sock, struct packet_ring* ring);
void bind_rx_ring(int sock, struct packet_ring* ring, int ifindex);
void destroy_rx_ring(int sock, struct packet_ring* ring);

void setup_tx_ring_layout(int sock, struct packet_ring* ring, size_t size, bool jumbo_support);
void create_tx_ring(int sock, struct packet_ring* ring, bool verbose);
void mmap_tx_ring(int sock, struct packet_ring* ring);
void alloc_tx_ring_frames(int sock, struct packet_ring* ring);
void bind_tx_ring(int sock, struct packet_ring* ring, int ifindex);
void destroy_tx_ring(int sock, struct packet_ring* ring);

void mmap_ring_generic(int sock, struct packet_ring* ring);
void alloc_ring_frames_generic(struct packet_ring* ring, size_t num, size_t size);
void bind_ring_generic(int sock, struct packet_ring* ring, int ifindex, bool tx_only);

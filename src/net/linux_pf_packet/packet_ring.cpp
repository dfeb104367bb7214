#include "packet_ring.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xmalloc.h"

static_assert(offsetof(frame_map, tp_status) == offsetof(tpacket2_hdr, tp_status));
static_assert(offsetof(frame_map, tp_len) == offsetof(tpacket2_hdr, tp_len));
static_assert(offsetof(frame_map, tp_snaplen) == offsetof(tpacket2_hdr, tp_snaplen));
static_assert(offsetof(frame_map, tp_mac) == offsetof(tpacket2_hdr, tp_mac));
static_assert(offsetof(frame_map, tp_net) == offsetof(tpacket2_hdr, tp_net));
static_assert(offsetof(frame_map, tp_sec) == offsetof(tpacket2_hdr, tp_sec));
static_assert(offsetof(frame_map, tp_nsec) == offsetof(tpacket2_hdr, tp_nsec));
static_assert(offsetof(frame_map, tp_vlan_tci) == offsetof(tpacket2_hdr, tp_vlan_tci));
static_assert(offsetof(frame_map, tp_vlan_tpid) == offsetof(tpacket2_hdr, tp_vlan_tpid));
static_assert(offsetof(frame_map, s_ll) == TPACKET_ALIGN(sizeof(tpacket2_hdr)));
static_assert(TX_FRAME_OFFSET == 32);

namespace {

void set_v2(int sock) {
    int version = TPACKET_V2;
    // Older kernels keep V1 and still work with the V2 slot layout for what we read; the
    // result is deliberately not checked.
    (void)setsockopt(sock, SOL_PACKET, PACKET_VERSION, &version, sizeof(version));
}

void setup_layout(struct packet_ring* ring, size_t size, bool jumbo_support, unsigned frame_size) {
    unsigned page = static_cast<unsigned>(getpagesize());
    ring->req.tp_block_size = jumbo_support ? 16 * page : 4 * page;
    ring->req.tp_frame_size = jumbo_support ? 65536 : frame_size;
    ring->req.tp_block_nr = static_cast<unsigned>(size / ring->req.tp_block_size);
    ring->req.tp_frame_nr = ring->req.tp_block_size / ring->req.tp_frame_size * ring->req.tp_block_nr;
}

// Asks for the ring, halving the block count while the kernel lacks the memory.
void create_ring(int sock, struct packet_ring* ring, int option, bool verbose, const char* dir) {
    // A zero-block request would be taken by the kernel as "no ring" and succeed.
    if (ring->req.tp_block_nr == 0)
        panic("Cannot allocate %s_RING!\n", dir);
    while (setsockopt(sock, SOL_PACKET, option, &ring->req, sizeof(ring->req)) < 0) {
        if (errno != ENOMEM || ring->req.tp_block_nr <= 1)
            panic("Cannot allocate %s_RING!\n", dir);
        ring->req.tp_block_nr >>= 1;
        ring->req.tp_frame_nr = ring->req.tp_block_size / ring->req.tp_frame_size * ring->req.tp_block_nr;
    }
    ring->map_len = static_cast<size_t>(ring->req.tp_block_size) * ring->req.tp_block_nr;
    if (verbose) {
        printf("%s,V2: %.2Lf MiB, %u Frames, each %u Byte allocated\n", dir,
               static_cast<long double>(ring->map_len) / (1 << 20), ring->req.tp_frame_nr,
               ring->req.tp_frame_size);
        fflush(stdout);
    }
}

void release_frame_table(struct packet_ring* ring) {
    if (ring->frame_table == nullptr)
        panic("xfree: NULL pointer given as argument\n");
    free(ring->frame_table);
    ring->frame_table = nullptr;
}

}  // namespace

void setup_rx_ring_layout(int sock, struct packet_ring* ring, size_t size, bool jumbo_support,
                          bool keep_version) {
    setup_layout(ring, size, jumbo_support, 2048);
    if (!keep_version)
        set_v2(sock);
}

void setup_tx_ring_layout(int sock, struct packet_ring* ring, size_t size, bool jumbo_support) {
    setup_layout(ring, size, jumbo_support, 512);
    set_v2(sock);
}

void create_rx_ring(int sock, struct packet_ring* ring, bool verbose) {
    create_ring(sock, ring, PACKET_RX_RING, verbose, "RX");
}

void create_tx_ring(int sock, struct packet_ring* ring, bool verbose) {
    create_ring(sock, ring, PACKET_TX_RING, verbose, "TX");
}

void mmap_ring_generic(int sock, struct packet_ring* ring) {
    void* base =
        mmap(nullptr, ring->map_len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED | MAP_POPULATE, sock, 0);
    if (base == MAP_FAILED)
        panic("Cannot mmap {TX,RX}_RING!\n");
    ring->map_base = static_cast<uint8_t*>(base);
}

void mmap_rx_ring(int sock, struct packet_ring* ring) {
    mmap_ring_generic(sock, ring);
}

void mmap_tx_ring(int sock, struct packet_ring* ring) {
    mmap_ring_generic(sock, ring);
}

void alloc_ring_frames_generic(struct packet_ring* ring, size_t num, size_t size) {
    size_t bytes = num * sizeof(struct iovec);
    ring->frame_table = static_cast<struct iovec*>(xmalloc_aligned(bytes, 128));
    memset(ring->frame_table, 0, bytes);
    for (size_t i = 0; i < num; ++i) {
        ring->frame_table[i].iov_base = ring->map_base + i * size;
        ring->frame_table[i].iov_len = size;
    }
}

void alloc_rx_ring_frames(int, struct packet_ring* ring) {
    alloc_ring_frames_generic(ring, ring->req.tp_frame_nr, ring->req.tp_frame_size);
}

void alloc_tx_ring_frames(int, struct packet_ring* ring) {
    alloc_ring_frames_generic(ring, ring->req.tp_frame_nr, ring->req.tp_frame_size);
}

void bind_ring_generic(int sock, struct packet_ring* ring, int ifindex, bool tx_only) {
    memset(&ring->link_addr, 0, sizeof(ring->link_addr));
    ring->link_addr.sll_family = AF_PACKET;
    // A transmit-only socket bound to protocol 0 gets no received frames queued to it.
    ring->link_addr.sll_protocol = tx_only ? 0 : htons(ETH_P_ALL);
    ring->link_addr.sll_ifindex = ifindex;
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&ring->link_addr), sizeof(ring->link_addr)) < 0)
        panic("Cannot bind {TX,RX}_RING!\n");
}

void bind_rx_ring(int sock, struct packet_ring* ring, int ifindex) {
    bind_ring_generic(sock, ring, ifindex, false);
}

void bind_tx_ring(int sock, struct packet_ring* ring, int ifindex) {
    bind_ring_generic(sock, ring, ifindex, true);
}

void destroy_rx_ring(int sock, struct packet_ring* ring) {
    munmap(ring->map_base, ring->map_len);
    ring->map_base = nullptr;
    ring->map_len = 0;
    release_frame_table(ring);
    memset(&ring->req, 0, sizeof(ring->req));
    if (setsockopt(sock, SOL_PACKET, PACKET_RX_RING, &ring->req, sizeof(ring->req)) < 0)
        panic("Cannot destroy the RX_RING: %s!\n", strerror(errno));
}

void destroy_tx_ring(int sock, struct packet_ring* ring) {
    munmap(ring->map_base, ring->map_len);
    ring->map_base = nullptr;
    ring->map_len = 0;
    memset(&ring->req, 0, sizeof(ring->req));
    if (setsockopt(sock, SOL_PACKET, PACKET_TX_RING, &ring->req, sizeof(ring->req)) < 0)
        panic("Cannot destroy the TX_RING: %s!\n", strerror(errno));
    release_frame_table(ring);
}

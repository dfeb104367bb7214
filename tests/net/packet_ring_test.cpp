// Rings on a veth pair inside a namespace made by the test.
#include "net/linux_pf_packet/packet_ring.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "net/netutils.h"
#include "testbed.h"

namespace {

// A ring made through the full calling order and torn down with the helpers.
struct Ring {
    Ring(bool tx_, const std::string& ifname, size_t size) : tx(tx_) {
        sock = socket(AF_PACKET, SOCK_RAW, tx ? 0 : htons(ETH_P_ALL));
        EXPECT_GE(sock, 0);
        memset(&ring, 0, sizeof(ring));
        int ifindex = net::getIfIndex(ifname);
        EXPECT_GT(ifindex, 0);
        ::testing::internal::CaptureStdout();
        if (tx) {
            setup_tx_ring_layout(sock, &ring, size, false);
            create_tx_ring(sock, &ring, true);
            mmap_tx_ring(sock, &ring);
            alloc_tx_ring_frames(sock, &ring);
            bind_tx_ring(sock, &ring, ifindex);
        } else {
            setup_rx_ring_layout(sock, &ring, size, false, false);
            create_rx_ring(sock, &ring, true);
            mmap_rx_ring(sock, &ring);
            alloc_rx_ring_frames(sock, &ring);
            bind_rx_ring(sock, &ring, ifindex);
        }
        report = ::testing::internal::GetCapturedStdout();
    }
    ~Ring() {
        if (tx)
            destroy_tx_ring(sock, &ring);
        else
            destroy_rx_ring(sock, &ring);
        close(sock);
    }
    frame_map* slot(unsigned i) const { return static_cast<frame_map*>(ring.frame_table[i].iov_base); }

    bool tx;
    int sock;
    packet_ring ring;
    std::string report;
};

struct PacketRingTest : ::testing::Test {
    PacketRingTest() : veth(testbed::connect(ns, ns)), enter(ns) { ns.addAddress(veth.a, "198.18.0.1/24"); }
    testbed::Namespace ns{"ring"};
    testbed::Veth veth;
    testbed::EnterNamespace enter;
};

TEST_F(PacketRingTest, EngineGeometry) {
    struct Case {
        bool tx;
        size_t size;
        unsigned block_size, block_nr, frame_size, frame_nr;
        const char* report;
    };
    const Case cases[] = {
        {false, 33554432, 16384, 2048, 2048, 16384,
         "RX,V2: 32.00 MiB, 16384 Frames, each 2048 Byte allocated\n"},
        {true, 2097152, 16384, 128, 512, 4096, "TX,V2: 2.00 MiB, 4096 Frames, each 512 Byte allocated\n"},
    };
    ASSERT_EQ(getpagesize(), 4096);
    for (const Case& c : cases) {
        Ring r(c.tx, c.tx ? veth.a : veth.b, c.size);
        EXPECT_EQ(r.report, c.report);
        EXPECT_EQ(r.ring.req.tp_block_size, c.block_size);
        EXPECT_EQ(r.ring.req.tp_block_nr, c.block_nr);
        EXPECT_EQ(r.ring.req.tp_frame_size, c.frame_size);
        EXPECT_EQ(r.ring.req.tp_frame_nr, c.frame_nr);
        EXPECT_EQ(r.ring.map_len, c.size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r.ring.frame_table) % 128, 0u);
        for (unsigned i : {0u, 1u, c.frame_nr - 1}) {
            EXPECT_EQ(r.ring.frame_table[i].iov_base,
                      r.ring.map_base + static_cast<size_t>(i) * c.frame_size);
            EXPECT_EQ(r.ring.frame_table[i].iov_len, c.frame_size);
        }
        EXPECT_EQ(r.ring.link_addr.sll_protocol, c.tx ? 0 : htons(ETH_P_ALL));
        EXPECT_EQ(r.ring.link_addr.sll_ifindex, net::getIfIndex(c.tx ? veth.a : veth.b));
    }
}

uint64_t realtimeNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// A frame handed to the transmit ring with send-request status leaves the veth and shows up,
// whole and timestamped, in the receive ring on the peer.
TEST_F(PacketRingTest, FrameCrossesFromTransmitRingToPeerReceiveRing) {
    Ring tx(true, veth.a, 2097152);
    Ring rx(false, veth.b, 33554432);

    std::array<uint8_t, 230> frame;
    ASSERT_EQ(net::makeUdpHeader(veth.a, "239.1.2.3", 188, frame.data()), 42);
    for (size_t i = 42; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    frame[42] = 0x47;

    frame_map* out = tx.slot(0);
    ASSERT_EQ(out->tp_status, static_cast<uint32_t>(TP_STATUS_AVAILABLE));
    memcpy(reinterpret_cast<uint8_t*>(out) + TX_FRAME_OFFSET, frame.data(), frame.size());
    out->tp_len = frame.size();
    const uint64_t before = realtimeNs();
    __atomic_store_n(&out->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
    ASSERT_EQ(sendto(tx.sock, nullptr, 0, MSG_DONTWAIT, nullptr, 0), static_cast<ssize_t>(frame.size()));

    // Other traffic of the fresh link (IPv6 neighbour discovery) may come first.
    const frame_map* got = nullptr;
    for (int wait = 0; wait < 200 && got == nullptr; ++wait) {
        for (unsigned i = 0; i < 16 && got == nullptr; ++i) {
            frame_map* s = rx.slot(i);
            if ((__atomic_load_n(&s->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
                continue;
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(s) + s->tp_mac;
            if (s->tp_len == frame.size() && memcmp(bytes, frame.data(), frame.size()) == 0)
                got = s;
        }
        if (got == nullptr)
            usleep(5000);
    }
    const uint64_t after = realtimeNs();
    ASSERT_NE(got, nullptr) << "frame not received";
    EXPECT_EQ(got->tp_snaplen, frame.size());
    const uint64_t stamp = static_cast<uint64_t>(got->tp_sec) * 1000000000u + got->tp_nsec;
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    // The kernel hands the transmit slot back once the frame is out.
    for (int wait = 0;
         wait < 200 && __atomic_load_n(&out->tp_status, __ATOMIC_ACQUIRE) != TP_STATUS_AVAILABLE; ++wait)
        usleep(1000);
    EXPECT_EQ(out->tp_status, static_cast<uint32_t>(TP_STATUS_AVAILABLE));
}

#if defined(__x86_64__)
// Makes the calling thread's setsockopt(SOL_PACKET, PACKET_RX_RING) take `action`.
int filterRingRequests(uint32_t action, unsigned flags) {
    sock_filter f[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_setsockopt, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SOL_PACKET, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_RX_RING, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, action),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof(f) / sizeof(f[0])), f};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    return static_cast<int>(syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, flags, &prog));
}

// The kernel refuses rings of more than 256 blocks for lack of memory: the request is halved
// until it fits, and the ring reports what was granted.
TEST_F(PacketRingTest, RingShrinksWhileMemoryIsShort) {
    std::atomic<int> listener{-1};
    std::atomic<bool> finished{false};
    packet_ring ring;
    memset(&ring, 0, sizeof(ring));
    std::string report;
    tpacket_req granted{};
    size_t mapped = 0;
    std::thread worker([&] {
        int fd = filterRingRequests(SECCOMP_RET_USER_NOTIF, SECCOMP_FILTER_FLAG_NEW_LISTENER);
        listener = fd < 0 ? -2 : fd;
        if (fd < 0) {
            finished = true;
            return;
        }
        int sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        setup_rx_ring_layout(sock, &ring, 33554432, false, false);
        ::testing::internal::CaptureStdout();
        create_rx_ring(sock, &ring, true);
        report = ::testing::internal::GetCapturedStdout();
        mmap_rx_ring(sock, &ring);
        alloc_rx_ring_frames(sock, &ring);
        granted = ring.req;
        mapped = ring.map_len;
        destroy_rx_ring(sock, &ring);
        close(sock);
        finished = true;
    });
    while (listener == -1)
        std::this_thread::yield();
    ASSERT_GE(listener.load(), 0) << "seccomp listener: " << strerror(errno);

    std::vector<unsigned> requested;
    for (;;) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0 || (p.revents & POLLIN) == 0) {
            if (finished)
                break;
            continue;
        }
        seccomp_notif req;
        memset(&req, 0, sizeof(req));
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) < 0)
            continue;
        // Same address space: the request record can be read directly.
        unsigned blocks = reinterpret_cast<const tpacket_req*>(req.data.args[3])->tp_block_nr;
        requested.push_back(blocks);
        seccomp_notif_resp resp;
        memset(&resp, 0, sizeof(resp));
        resp.id = req.id;
        if (blocks > 256)
            resp.error = -ENOMEM;
        else
            resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    }
    worker.join();
    close(listener);
    // The last request is the tear-down's.
    EXPECT_EQ(requested, (std::vector<unsigned>{2048, 1024, 512, 256, 0}));
    EXPECT_EQ(granted.tp_block_nr, 256u);
    EXPECT_EQ(granted.tp_frame_nr, 2048u);
    EXPECT_EQ(mapped, 4194304u);
    EXPECT_EQ(report, "RX,V2: 4.00 MiB, 2048 Frames, each 2048 Byte allocated\n");
}

TEST_F(PacketRingTest, NoMemoryEvenForOneBlockEndsTheProcess) {
    EXPECT_EXIT(
        {
            if (filterRingRequests(SECCOMP_RET_ERRNO | ENOMEM, 0) < 0)
                _exit(2);
            int sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            packet_ring ring;
            memset(&ring, 0, sizeof(ring));
            setup_rx_ring_layout(sock, &ring, 33554432, false, false);
            create_rx_ring(sock, &ring, true);
        },
        ::testing::ExitedWithCode(1), "^Cannot allocate RX_RING!\n$");
}
#endif

// A request smaller than one block would be taken by the kernel as "no ring".
TEST_F(PacketRingTest, RequestBelowOneBlockEndsTheProcess) {
    EXPECT_EXIT(
        {
            int sock = socket(AF_PACKET, SOCK_RAW, 0);
            packet_ring ring;
            memset(&ring, 0, sizeof(ring));
            setup_tx_ring_layout(sock, &ring, 1000, false);
            create_tx_ring(sock, &ring, true);
        },
        ::testing::ExitedWithCode(1), "^Cannot allocate TX_RING!\n$");
}

}  // namespace

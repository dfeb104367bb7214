#include "tspacketpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(TsPacketPool, HandsOutEveryPacketOnceThenNull) {
    TsPacketPool pool;
    pool.init(1000);
    std::set<TsPacket*> seen;
    std::set<unsigned char*> buffers;
    for (int i = 0; i < 1000; ++i) {
        TsPacket* p = pool.alloc();
        ASSERT_NE(p, nullptr) << "allocation " << i;
        EXPECT_TRUE(seen.insert(p).second);
        EXPECT_TRUE(buffers.insert(p->data).second);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p->data) % 256, 0u);
    }
    EXPECT_EQ(pool.alloc(), nullptr);
    // The slots are consecutive 256-byte slots of one block.
    EXPECT_EQ(*buffers.rbegin() - *buffers.begin(), 999 * 256);

    TsPacket* back = *seen.begin();
    pool.free(back);
    EXPECT_EQ(pool.alloc(), back);
    EXPECT_EQ(pool.alloc(), nullptr);
    for (TsPacket* p : seen)
        pool.free(p);
}

TEST(TsPacketPool, LastSlotOnTop) {
    TsPacketPool pool;
    pool.init(3);
    TsPacket* a = pool.alloc();
    TsPacket* b = pool.alloc();
    EXPECT_EQ(a->data - b->data, 256);  // slot 2 first, then slot 1
    pool.free(a);
    pool.free(b);
}

TEST(TsPacketPool, EmptyPool) {
    TsPacketPool never_initialised;
    EXPECT_EQ(never_initialised.alloc(), nullptr);
    TsPacketPool zero;
    zero.init(0);
    EXPECT_EQ(zero.alloc(), nullptr);
}

TEST(TsPacketPool, SecondInitIsIgnored) {
    TsPacketPool pool;
    pool.init(2);
    pool.init(5);
    int n = 0;
    std::vector<TsPacket*> taken;
    while (TsPacket* p = pool.alloc()) {
        taken.push_back(p);
        ++n;
    }
    EXPECT_EQ(n, 2);
    for (TsPacket* p : taken)
        pool.free(p);
}

// One thread allocates and hands packets over a queue, another frees them: no descriptor may be
// lost or handed out twice.
TEST(TsPacketPool, OneAllocatorOneFreerLoseNothing) {
    constexpr unsigned kPackets = 1000;
    constexpr unsigned kRounds = 200000;
    TsPacketPool pool;
    pool.init(kPackets);

    std::vector<std::atomic<TsPacket*>> handoff(64);
    for (auto& h : handoff)
        h.store(nullptr);
    std::atomic<bool> done{false};
    std::atomic<unsigned> in_use_errors{0};

    std::thread freer([&] {
        unsigned idx = 0;
        for (;;) {
            TsPacket* p = handoff[idx].exchange(nullptr, std::memory_order_acq_rel);
            if (p != nullptr) {
                if (p->sid != 1)
                    in_use_errors++;
                p->sid = 0;
                pool.free(p);
            } else if (done.load(std::memory_order_acquire)) {
                bool empty = true;
                for (auto& h : handoff)
                    empty = empty && h.load() == nullptr;
                if (empty)
                    break;
            }
            idx = (idx + 1) % handoff.size();
        }
    });

    unsigned allocated = 0, idx = 0;
    while (allocated < kRounds) {
        TsPacket* p = pool.alloc();
        if (p == nullptr) {
            std::this_thread::yield();
            continue;
        }
        if (p->sid != 0)
            in_use_errors++;  // handed out while still in use
        p->sid = 1;
        TsPacket* expected = nullptr;
        while (!handoff[idx].compare_exchange_weak(expected, p, std::memory_order_acq_rel)) {
            expected = nullptr;
            idx = (idx + 1) % handoff.size();
        }
        ++allocated;
    }
    done.store(true, std::memory_order_release);
    freer.join();

    EXPECT_EQ(in_use_errors.load(), 0u);
    std::set<TsPacket*> all;
    while (TsPacket* p = pool.alloc())
        all.insert(p);
    EXPECT_EQ(all.size(), kPackets);
    for (TsPacket* p : all)
        pool.free(p);
}

}  // namespace

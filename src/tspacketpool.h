#pragma once

#include <atomic>

#include "tspacket.h"

// Fixed lock-free LIFO pool of packet descriptors whose buffers are 256-byte slots of one block.
// Safe for one allocating and one freeing thread at the same time; only one thread may pop.
class TsPacketPool {
  public:
    TsPacketPool() = default;
    ~TsPacketPool();
    TsPacketPool(const TsPacketPool&) = delete;
    TsPacketPool& operator=(const TsPacketPool&) = delete;

    // Allocates count slots (256-byte aligned) and pushes their descriptors in slot order, so
    // the last slot ends on top. Throws std::bad_alloc when the block cannot be allocated.
    void init(unsigned count);

    TsPacket* alloc();
    void free(TsPacket* p);

  private:
    std::atomic<TsPacket*> head{nullptr};
    unsigned char* memory = nullptr;
    TsPacket* descriptors = nullptr;
};

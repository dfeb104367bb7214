#include "tspacketpool.h"

#include <glog/logging.h>

#include <cstdlib>
#include <new>

TsPacketPool::~TsPacketPool() {
    delete[] descriptors;
    std::free(memory);
}

void TsPacketPool::init(unsigned count) {
    if (descriptors != nullptr || memory != nullptr) {
        LOG(WARNING) << "packet pool already initialised, init(" << count << ") ignored";
        return;
    }
    const size_t bytes = static_cast<size_t>(count) * TS_BUFFER_SIZE;
    if (count > 0) {
        memory = static_cast<unsigned char*>(std::aligned_alloc(TS_BUFFER_SIZE, bytes));
        if (memory == nullptr) {
            LOG(ERROR) << "failed to allocate " << bytes << " bytes";
            throw std::bad_alloc();
        }
        descriptors = new TsPacket[count];
        for (unsigned i = 0; i < count; ++i) {
            descriptors[i].data = memory + static_cast<size_t>(i) * TS_BUFFER_SIZE;
            free(&descriptors[i]);
        }
    }
    LOG(INFO) << count << " elements " << bytes << " bytes pool created";
}

TsPacket* TsPacketPool::alloc() {
    TsPacket* top = head.load(std::memory_order_seq_cst);
    while (top != nullptr && !head.compare_exchange_weak(top, top->next, std::memory_order_seq_cst)) {
    }
    return top;
}

void TsPacketPool::free(TsPacket* p) {
    TsPacket* top = head.load(std::memory_order_seq_cst);
    do {
        p->next = top;
    } while (!head.compare_exchange_weak(top, p, std::memory_order_seq_cst));
}

#pragma once

#include <cstdint>

constexpr unsigned TS_PACKET_SIZE = 188;
// Every packet buffer is a slot of this size; the first 188 bytes hold the packet.
constexpr unsigned TS_BUFFER_SIZE = 256;

// Descriptor of one TS packet. The buffer is owned by whoever created the descriptor (a pool or
// the network engine) and lives as long as the process; the descriptor moves between threads by
// pointer, and whoever holds the pointer owns the packet until it hands it on.
struct TsPacket {
    uint32_t sid = 0;
    TsPacket* next = nullptr;
    unsigned char* data = nullptr;

    unsigned pid() const { return ((data[1] & 0x1Fu) << 8) | data[2]; }
};

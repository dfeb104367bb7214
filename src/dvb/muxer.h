#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "fastdelegate.h"
#include "tspacket.h"
#include "tspacketpool.h"

class InputMux;
class OutputMux;

// The hub through which PSI/SI passes between the packet engine and the multiplexers. Its
// receive thread ("muxer_rx") feeds queued PSI/SI packets to the input demultiplexers and gives
// each a heartbeat at least every 100 ms; its transmit thread ("muxer_tx") collects the due
// table packets of every output multiplexer and injects them through the engine.
class Muxer {
  public:
    static constexpr unsigned RX_POOL_SIZE = 1000;
    static constexpr auto HEARTBEAT = std::chrono::milliseconds(100);

    static Muxer& getInstance();

    // The daemon uses the singleton; tests may construct their own.
    Muxer();
    // Stops and joins the threads if they run.
    ~Muxer();
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;

    // Starts the receive thread, then the transmit thread.
    void start();
    // Ends both threads and waits for them (the daemon never stops; tests and teardown do).
    void stop();

    // Queues a copy of one received PSI/SI packet of input `sid` (engine thread only).
    void input(unsigned int sid, const unsigned char* data, unsigned int len);

    void registerInputMux(InputMux* mux);
    void registerOutputMux(OutputMux* mux);
    // On return the receive thread is not inside that demultiplexer and will not call it again.
    void unregisterInputmux(unsigned int sid);

    void rx_thread_fn();
    void tx_thread_fn();

    std::deque<TsPacket*> rx_queue;
    TsPacketPool rx_pool;
    fastdelegate::FastDelegate0<TsPacket*> allocator;
    std::thread rx_thread;
    std::thread tx_thread;
    std::condition_variable rx_ready;
    std::mutex rx_mutex;
    std::unordered_map<uint32_t, InputMux*> input_muxes;
    std::unordered_map<uint32_t, OutputMux*> output_muxes;
    std::unordered_map<uint32_t, std::chrono::steady_clock::time_point> last_tick;
    std::mutex input_lock;
    std::mutex output_lock;

  private:
    // One wait for a packet (at most 100 ms on the steady clock) and its dispatch.
    void rxStep();
    // One poll of every output and the injection of what was due; returns the sleep in us.
    uint64_t txStep(std::deque<TsPacket*>& queue);

    std::atomic<bool> running{false};
    unsigned rx_pool_empty = 0;
};

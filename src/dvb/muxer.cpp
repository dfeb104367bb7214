#include "muxer.h"

#include <glog/logging.h>
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "inputmux.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "outputmux.h"
#include "utils.h"

namespace {

constexpr uint64_t LONGEST_SLEEP_US = 1000000;
constexpr uint64_t IDLE_SLEEP_US = 900000;

// Relative sleep on the monotonic clock that resumes after signals for the time left.
void sleepUs(uint64_t us) {
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

}  // namespace

Muxer& Muxer::getInstance() {
    // The process-wide Muxer is the one the engine hands received PSI/SI to.
    static Muxer& instance = []() -> Muxer& {
        static Muxer muxer;
        EthLinuxIf::getInstance().setPsiInput(
            EthLinuxIf::PsiInput::from_method<Muxer, &Muxer::input>(&muxer));
        return muxer;
    }();
    return instance;
}

Muxer::Muxer() {
    rx_pool.init(RX_POOL_SIZE);
    allocator = fastdelegate::MakeDelegate<&EthLinuxIf::dvbAlloc>(&EthLinuxIf::getInstance());
}

Muxer::~Muxer() {
    EthLinuxIf::getInstance().clearPsiInput(this);
    stop();
}

void Muxer::start() {
    if (running.exchange(true)) {
        LOG(WARNING) << "Muxer already started";
        return;
    }
    rx_thread = std::thread(&Muxer::rx_thread_fn, this);
    tx_thread = std::thread(&Muxer::tx_thread_fn, this);
}

void Muxer::stop() {
    if (!running.exchange(false)) {
        return;
    }
    rx_ready.notify_all();
    if (rx_thread.joinable()) {
        rx_thread.join();
    }
    if (tx_thread.joinable()) {
        tx_thread.join();
    }
}

void Muxer::input(unsigned int sid, const unsigned char* data, unsigned int len) {
    TsPacket* packet = rx_pool.alloc();
    if (packet == nullptr) {
        if (rx_pool_empty++ % 100 == 0) {
            LOG(ERROR) << "PSI/SI receive pool empty";
        }
        return;
    }
    packet->sid = sid;
    memcpy(packet->data, data, len < TS_PACKET_SIZE ? len : TS_PACKET_SIZE);
    {
        std::lock_guard<std::mutex> guard(rx_mutex);
        rx_queue.push_back(packet);
    }
    rx_ready.notify_one();
}

void Muxer::registerInputMux(InputMux* mux) {
    std::lock_guard<std::mutex> guard(input_lock);
    input_muxes[mux->sid] = mux;
    last_tick[mux->sid] = std::chrono::steady_clock::now();
}

void Muxer::registerOutputMux(OutputMux* mux) {
    std::lock_guard<std::mutex> guard(output_lock);
    output_muxes[mux->sid] = mux;
}

void Muxer::unregisterInputmux(unsigned int sid) {
    std::lock_guard<std::mutex> guard(input_lock);
    input_muxes.erase(sid);
    last_tick.erase(sid);
}

void Muxer::rxStep() {
    TsPacket* packet = nullptr;
    {
        std::unique_lock<std::mutex> guard(rx_mutex);
        // The steady clock: a step of the wall clock must not stretch or cut the wait.
        const auto deadline = std::chrono::steady_clock::now() + HEARTBEAT;
        rx_ready.wait_until(guard, deadline, [this] { return !rx_queue.empty() || !running; });
        if (!rx_queue.empty()) {
            packet = rx_queue.front();
            rx_queue.pop_front();
        } else if (!running) {
            return;
        }
    }

    std::lock_guard<std::mutex> guard(input_lock);
    if (packet != nullptr) {
        try {
            input_muxes.at(packet->sid)->input(packet);
            last_tick.at(packet->sid) = std::chrono::steady_clock::now();
        } catch (const std::out_of_range&) {
            LOG(ERROR) << "SID " << packet->sid << " not registered";
        }
        rx_pool.free(packet);
        const auto now = std::chrono::steady_clock::now();
        for (const auto& [sid, when] : last_tick) {
            if (std::chrono::duration_cast<std::chrono::milliseconds>(now - when) > HEARTBEAT) {
                input_muxes.at(sid)->input(nullptr);
            }
        }
    } else {
        for (const auto& [sid, mux] : input_muxes) {
            mux->input(nullptr);
            last_tick[sid] = std::chrono::steady_clock::now();
        }
    }
}

void Muxer::rx_thread_fn() {
    pthread_setname_np(pthread_self(), "muxer_rx");
    while (running.load()) {
        rxStep();
    }
}

uint64_t Muxer::txStep(std::deque<TsPacket*>& queue) {
    const uint64_t now = utils::now_us();
    queue.clear();
    std::lock_guard<std::mutex> guard(output_lock);
    uint64_t shortest = std::numeric_limits<uint64_t>::max();
    for (const auto& entry : output_muxes) {
        const uint64_t t = entry.second->output(now, &queue, allocator);
        if (t < shortest) {
            shortest = t;
        }
    }
    if (!queue.empty()) {
        VLOG(2) << queue.size() << " packets to inject";
        EthLinuxIf& engine = EthLinuxIf::getInstance();
        for (TsPacket* packet : queue) {
            const unsigned sid = packet->sid;
            if (engine.dvbInject(sid, packet) != 0) {
                VLOG(2) << "SID " << sid << " inject failed";
            }
        }
    }
    return shortest;
}

void Muxer::tx_thread_fn() {
    pthread_setname_np(pthread_self(), "muxer_tx");
    std::deque<TsPacket*> queue;
    while (running.load()) {
        const uint64_t shortest = txStep(queue);
        if (shortest > LONGEST_SLEEP_US) {
            sleepUs(IDLE_SLEEP_US);
        } else if (shortest == 0) {
            LOG(WARNING) << "shortest_sleep_time = 0";
        } else {
            sleepUs(shortest);
        }
    }
}

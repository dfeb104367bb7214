// The engine thread's work per received frame, without the kernel: the stream's handler cuts
// the datagram into TS packets, looks each PID up in the action table and queues it on its
// transmit ring(s), timing it by the stream's PCR. Rings live in memory; releasing their slots
// (the transmit pass and the kernel's part) is outside the timed region.
#include <benchmark/benchmark.h>
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/linux_pf_packet/ethlinuxif.h"

namespace {

constexpr unsigned SID = 5;
constexpr unsigned MAC = 80;
constexpr unsigned SLOT = 2048;
constexpr unsigned FRAMES = 512;  // distinct receive slots cycled through (1 MiB)
constexpr int VIDEO = 0x100, AUDIO = 0x101, OTHER = 0x1FFF;
constexpr unsigned PCR_EVERY = 16;  // frames

unsigned long long fake_ticks = 0;
uint64_t fakeClock() {
    return fake_ticks;
}

void noPsi(unsigned int, const unsigned char*, unsigned int) {}

// Frames of `n` packets: video (the PCR PID), audio and, one in seven, a PID nobody wants.
std::vector<unsigned char> makeFrames(unsigned n) {
    std::vector<unsigned char> area(static_cast<size_t>(FRAMES) * SLOT, 0);
    unsigned counter = 0;
    for (unsigned f = 0; f < FRAMES; ++f) {
        unsigned char* slot = area.data() + static_cast<size_t>(f) * SLOT;
        frame_map* frame = reinterpret_cast<frame_map*>(slot);
        frame->tp_mac = MAC;
        frame->tp_len = frame->tp_snaplen = 42 + 188 * n;
        for (unsigned k = 0; k < n; ++k, ++counter) {
            unsigned char* p = slot + MAC + 42 + 188 * k;
            const int pid = counter % 7 == 6 ? OTHER : counter % 3 == 2 ? AUDIO : VIDEO;
            memset(p, 0x5A, 188);
            p[0] = 0x47;
            p[1] = static_cast<unsigned char>(pid >> 8);
            p[2] = static_cast<unsigned char>(pid);
            p[3] = static_cast<unsigned char>(0x10 | (counter & 0x0F));
        }
        if (f % PCR_EVERY == 0) {
            unsigned char* p = slot + MAC + 42;
            p[1] = VIDEO >> 8;
            p[2] = VIDEO & 0xFF;
            p[3] = 0x30;
            p[4] = 7;
            p[5] = 0x10;
        }
    }
    return area;
}

void writePcr(unsigned char* p, unsigned long long pcr27) {
    const unsigned long long base = pcr27 / 300;
    p[6] = static_cast<unsigned char>(base >> 25);
    p[7] = static_cast<unsigned char>(base >> 17);
    p[8] = static_cast<unsigned char>(base >> 9);
    p[9] = static_cast<unsigned char>(base >> 1);
    p[10] = static_cast<unsigned char>((base & 1) << 7 | 0x7E);
    p[11] = 0;
}

// Args: TS packets per datagram, transmit rings each routed packet goes to.
void BM_DissectRouteEnqueue(benchmark::State& state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    const unsigned rings = static_cast<unsigned>(state.range(1));
    FLAGS_minloglevel = google::GLOG_ERROR;
    FLAGS_non_pcr_interframe_gap = 0;

    auto engine = std::make_unique<EthLinuxIf>();
    engine->setPsiInput(EthLinuxIf::PsiInput::from_function<&noPsi>());
    char log_dir[] = "/tmp/dissect_bench.XXXXXX";
    const std::string dir = mkdtemp(log_dir);
    for (unsigned r = 0; r < rings; ++r) {
        TxRing& ring = engine->getTxRing(r);
        ring.initInMemory(256 + r, 0, dir + "/ring" + std::to_string(r));
        ring.setClock(&fakeClock);
        engine->setPidAction(SID, VIDEO, 256 + r);
        engine->setPidAction(SID, AUDIO, 256 + r);
        engine->setPcrPid(256 + r, VIDEO);
    }
    engine->setHandler(SID, &engine->dissector_delegates[n]);
    std::vector<unsigned char> frames = makeFrames(n);

    // 7 Mbit/s of TS: one datagram of n packets every n * 215 us.
    const unsigned long long frame_ns = 215000ull * n;
    unsigned long long t = 1000000000000000000ull;
    unsigned long long pcr27 = 27000000;
    unsigned f = 0;
    size_t packets = 0;
    for (auto _ : state) {
        unsigned char* slot = frames.data() + static_cast<size_t>(f) * SLOT;
        frame_map* frame = reinterpret_cast<frame_map*>(slot);
        frame->tp_sec = static_cast<uint32_t>(t / 1000000000u);
        frame->tp_nsec = static_cast<uint32_t>(t % 1000000000u);
        fake_ticks = t / 20;
        if (f % PCR_EVERY == 0)
            writePcr(slot + MAC + 42, pcr27);
        engine->dispatch(SID, frame);
        packets += n;
        t += frame_ns;
        pcr27 += frame_ns * 27 / 1000;
        if (++f == FRAMES) {
            f = 0;
            // The transmit pass and the kernel: every queued slot leaves and comes back free.
            state.PauseTiming();
            for (unsigned r = 0; r < rings; ++r) {
                TxRing& ring = engine->getTxRing(r);
                ring.transmitIfReady(fake_ticks + 50000000ull);
                for (unsigned i = 0; i < ring.getSlots(); ++i)
                    ring.slot(i)->tp_status = 0;
            }
            state.ResumeTiming();
        }
    }
    state.counters["ns_per_ts_packet"] = benchmark::Counter(
        static_cast<double>(packets), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ts_packets_per_second"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    engine.reset();
    std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_DissectRouteEnqueue)->Args({7, 1})->Args({1, 1})->Args({7, 2})->Args({4, 1});

}  // namespace

BENCHMARK_MAIN();

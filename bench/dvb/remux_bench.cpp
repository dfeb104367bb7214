// Per-packet costs of the remultiplexer core: what the engine thread pays to hand a PSI/SI
// packet to the Muxer, what the receive thread pays per packet, and what the transmit thread
// pays per poll of a generator or an output.
#include <benchmark/benchmark.h>
#include <glog/logging.h>

#include <deque>
#include <vector>

#include "dvb/inputmux.h"
#include "dvb/muxer.h"
#include "dvb/outputmux.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/psisi_utils.h"
#include "dvb/psisigenerator.h"
#include "tspacketpool.h"

namespace {

std::vector<unsigned char> patPacket(int cc) {
    // PAT, transport_stream_id 1, version 0, program 1 -> PMT PID 0x100.
    std::vector<unsigned char> s = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE1, 0x00};
    const uint32_t crc = psisi_utils::crc32(s.data(), static_cast<unsigned>(s.size()));
    for (int shift = 24; shift >= 0; shift -= 8) {
        s.push_back(static_cast<unsigned char>(crc >> shift));
    }
    std::vector<unsigned char> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x40;
    p[2] = 0x00;
    p[3] = static_cast<unsigned char>(0x10 | (cc & 0x0F));
    p[4] = 0;
    std::copy(s.begin(), s.end(), p.begin() + 5);
    return p;
}

void quiet() {
    FLAGS_minloglevel = google::GLOG_ERROR;
    psisi_utils::generate_crc_table();
}

// Engine thread: one received PSI/SI packet into the Muxer's queue.
void BM_MuxerInput(benchmark::State& state) {
    quiet();
    Muxer m;
    const std::vector<unsigned char> p = patPacket(0);
    size_t n = 0;
    for (auto _ : state) {
        m.input(1, p.data(), 188);
        if (++n == Muxer::RX_POOL_SIZE) {
            state.PauseTiming();
            for (TsPacket* q : m.rx_queue) {
                m.rx_pool.free(q);
            }
            m.rx_queue.clear();
            n = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MuxerInput);

// Receive thread: one repeated PAT packet through the demultiplexer (assembly, repetition
// check, PAT supervision).
void BM_InputMuxRepeatedPat(benchmark::State& state) {
    quiet();
    InputMux in(1);
    in.restart();
    std::vector<std::vector<unsigned char>> packets;
    for (int cc = 0; cc < 16; ++cc) {
        packets.push_back(patPacket(cc));
    }
    TsPacket t;
    t.sid = 1;
    int cc = 0;
    for (auto _ : state) {
        t.data = packets[static_cast<size_t>(cc)].data();
        in.input(&t);
        cc = (cc + 1) & 0x0F;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InputMuxRepeatedPat);

// Transmit thread: a generator polled when its packet is due (builds one packet).
void BM_GeneratorDue(benchmark::State& state) {
    quiet();
    TsPacketPool pool;
    pool.init(4);
    auto allocate = fastdelegate::MakeDelegate<&TsPacketPool::alloc>(&pool);
    PsisiGenerator g(0, 256);
    auto pat = std::make_unique<PAT>(ST_PAT);
    pat->payload.programs = {{1, 0x100}};
    g.setEncodedTable(std::unique_ptr<Section>(std::move(pat)));
    std::deque<TsPacket*> queue;
    uint64_t now = 1000000;
    for (auto _ : state) {
        now += 500000;
        g.output(now, &queue, allocate);
        pool.free(queue.back());
        queue.pop_back();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GeneratorDue);

// Transmit thread: an output with PAT, SDT and PMT generators polled between due times.
void BM_OutputMuxPollNotDue(benchmark::State& state) {
    quiet();
    TsPacketPool pool;
    pool.init(8);
    auto allocate = fastdelegate::MakeDelegate<&TsPacketPool::alloc>(&pool);
    OutputMux out(256);
    out.init();
    ProgramInformation info;
    info.sid = 1;
    info.program_number = 1;
    info.pmt_pid = 0x1000;
    info.pmt_version = 0;
    info.pcr_pid = 0x100;
    out.addProgram({1, 1});
    out.updateProgramInformation(info);
    out.activateProgram({1, 1}, false);
    std::deque<TsPacket*> queue;
    out.output(1000000, &queue, allocate);
    for (TsPacket* p : queue) {
        pool.free(p);
    }
    queue.clear();
    uint64_t now = 1000001;
    for (auto _ : state) {
        benchmark::DoNotOptimize(out.output(now, &queue, allocate));
        now = now < 1400000 ? now + 1 : 1000001;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OutputMuxPollNotDue);

}  // namespace

BENCHMARK_MAIN();

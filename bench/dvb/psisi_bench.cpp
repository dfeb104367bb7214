// Cost of the PSI/SI receive path: assembling packets into sections (repeated and new), decoding
// real tables, the CRC and DVB text conversion.
#include <benchmark/benchmark.h>
#include <glog/logging.h>

#include <cstring>
#include <memory>
#include <vector>

#include "dvb/inputmux.h"
#include "dvb/psisi/codecfactory.h"
#include "dvb/psisi/psisi_utils.h"
#include "dvb/psisiparser.h"
#include "ffmpeg_vectors.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Setup {
    Setup() {
        psisi_utils::generate_crc_table();
        // Lines are formatted as in the daemon but not written, so that I/O is not measured.
        FLAGS_minloglevel = google::GLOG_FATAL;
    }
};
const Setup setup;

// A one-packet section on its PID with the given continuity counter.
Bytes packet(const unsigned char* section, size_t n, int pid, int cc) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>(0x40 | (pid >> 8));
    p[2] = static_cast<unsigned char>(pid);
    p[3] = static_cast<unsigned char>(0x10 | cc);
    p[4] = 0;
    memcpy(p.data() + 5, section, n);
    return p;
}

// The PMT of program 1 as a new version in every packet, or always the same one.
void parsePmt(benchmark::State& state, bool new_versions) {
    InputMux mux(1);
    PsisiParser pat_parser(0, &mux);
    Bytes pat = packet(ffmpeg_vectors::two_programs_pat, sizeof(ffmpeg_vectors::two_programs_pat), 0, 0);
    TsPacket tp;
    tp.data = pat.data();
    pat_parser.input(&tp);

    std::vector<Bytes> packets;
    for (int v = 0; v < 32; ++v) {
        Bytes section(std::begin(ffmpeg_vectors::two_programs_pmt_1),
                      std::end(ffmpeg_vectors::two_programs_pmt_1));
        section[5] = static_cast<unsigned char>(0xC1 | ((new_versions ? v : 0) << 1));
        const uint32_t crc = psisi_utils::crc32(section.data(), static_cast<unsigned>(section.size() - 4));
        for (int i = 0; i < 4; ++i) {
            section[section.size() - 4 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
        }
        packets.push_back(packet(section.data(), section.size(), 0x1000, v & 0x0F));
    }
    PsisiParser parser(0x1000, &mux);
    size_t i = 0;
    for (auto _ : state) {
        tp.data = packets[i].data();
        parser.input(&tp);
        i = (i + 1) % packets.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ParserRepeatedPmt(benchmark::State& state) {
    parsePmt(state, false);
}
BENCHMARK(BM_ParserRepeatedPmt);

void BM_ParserNewPmtVersions(benchmark::State& state) {
    parsePmt(state, true);
}
BENCHMARK(BM_ParserNewPmtVersions);

void decode(benchmark::State& state, const unsigned char* bytes, size_t n) {
    SectionData sd;
    sd.decodeHeader(bytes, static_cast<unsigned>(n));
    memcpy(sd.bytes, bytes, n);
    sd.length = static_cast<uint32_t>(n);
    SectionCodec* codec = CodecFactory::getInstance().codecs.at(static_cast<int>(sd.table_id));
    for (auto _ : state) {
        benchmark::DoNotOptimize(codec->decodeSection(&sd));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_DecodePmtThreeStreams(benchmark::State& state) {
    decode(state, ffmpeg_vectors::two_programs_pmt_1, sizeof(ffmpeg_vectors::two_programs_pmt_1));
}
BENCHMARK(BM_DecodePmtThreeStreams);

void BM_DecodeSdtTwelveServices(benchmark::State& state) {
    decode(state, ffmpeg_vectors::many_services_sdt, sizeof(ffmpeg_vectors::many_services_sdt));
}
BENCHMARK(BM_DecodeSdtTwelveServices);

void BM_Crc32(benchmark::State& state) {
    Bytes data(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(psisi_utils::crc32(data.data(), static_cast<unsigned>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc32)->Arg(188)->Arg(4096);

void BM_ToUtf8(benchmark::State& state) {
    const Bytes latin = {0x10, 0x00, 0x02, 'K', 'a', 'n', 'a', 0xB3, ' ', 'P', 'o', 'l', 's', 'k', 'i'};
    for (auto _ : state) {
        benchmark::DoNotOptimize(psisi_utils::toUtf8(latin.data(), static_cast<unsigned>(latin.size())));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToUtf8);

}  // namespace

BENCHMARK_MAIN();

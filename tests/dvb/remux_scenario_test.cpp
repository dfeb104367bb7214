// Real transport streams made by ffmpeg, fed packet by packet through the input demultiplexer,
// carried by output multiplexers, and the output checked in the engine's PID action table, in
// the regenerated tables and, written to a file, by ffprobe.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "dvb/inputmux.h"
#include "dvb/outputmux.h"
#include "dvb/psisi/codecfactory.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"
#include "ts_fixture.h"
#include "tspacketpool.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;
using ts_fixture::Packet;

constexpr uint32_t MUXER = 0x80000000u;

EthLinuxIf& engine() {
    return EthLinuxIf::getInstance();
}

// Feeds packets to the demultiplexer as the Muxer's receive thread does; `keep` may leave PIDs out.
template <typename Keep>
void feed(InputMux& mux, const std::vector<Packet>& packets, Keep keep) {
    alignas(64) unsigned char buffer[TS_BUFFER_SIZE];
    TsPacket p;
    p.sid = mux.sid;
    p.data = buffer;
    for (const Packet& packet : packets) {
        if (!keep(ts_fixture::pidOf(packet.data()))) {
            continue;
        }
        memcpy(buffer, packet.data(), packet.size());
        mux.input(&p);
    }
}
void feed(InputMux& mux, const std::vector<Packet>& packets) {
    feed(mux, packets, [](int) { return true; });
}
// Sends a section on a PID, continuing the continuity counter of what the PID carried so far.
void feedSection(InputMux& mux, const Bytes& section, int pid) {
    int first_cc = 0;
    for (const PidParserEntry& e : mux.parsers) {
        if (e.pid == pid && e.parser->last_cc >= 0) {
            first_cc = (e.parser->last_cc + 1) % 16;
        }
    }
    std::vector<Packet> packets;
    for (const Bytes& b : psisi_test::packetise(section, pid, first_cc)) {
        Packet p;
        std::copy(b.begin(), b.end(), p.begin());
        packets.push_back(p);
    }
    feed(mux, packets);
}

std::set<int> parserPids(InputMux& mux) {
    std::set<int> pids;
    for (const PidParserEntry& e : mux.parsers) {
        pids.insert(e.pid);
    }
    return pids;
}

template <typename Map>
std::set<int> keys(const Map& m) {
    std::set<int> k;
    for (const auto& e : m) {
        k.insert(e.first);
    }
    return k;
}

std::string text(const AttributeMap& attributes, const std::string& name) {
    auto it = attributes.find(name);
    return it == attributes.end() ? "<none>" : it->second.toString();
}

class RemuxScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        psisi_test::initCrc();
        ASSERT_FALSE(ts_fixture::twoPrograms().packets.empty()) << "ffmpeg could not make the test stream";
        ASSERT_FALSE(ts_fixture::otherInput().packets.empty()) << "ffmpeg could not make the test stream";
    }
    const std::vector<Packet>& two() { return ts_fixture::twoPrograms().packets; }
    const std::vector<Packet>& other() { return ts_fixture::otherInput().packets; }
};

TEST_F(RemuxScenario, InputTakesOverWhatFfprobeSeesInTheStream) {
    InputMux in(1);
    in.restart();
    EXPECT_EQ(parserPids(in), (std::set<int>{0x00, 0x11}));
    feed(in, two());

    std::lock_guard<std::recursive_mutex> guard(in.lock);
    EXPECT_TRUE(in.alarm.empty());
    ASSERT_EQ(in.pats.size(), 1u);
    EXPECT_EQ(in.pats[0].transport_stream_id, 0x1234);
    EXPECT_EQ(in.pats[0].programs, (std::unordered_map<int, int>{{1, 0x1000}, {2, 0x1001}}));
    ASSERT_EQ(in.sdts.size(), 1u);
    EXPECT_EQ(parserPids(in), (std::set<int>{0x00, 0x11, 0x1000, 0x1001}));
    for (int pid : {0x00, 0x11, 0x1000, 0x1001}) {
        EXPECT_EQ(engine().getPidAction(1, pid), MUXER) << pid;
    }
    for (int pid : {0x100, 0x101, 0x103}) {
        EXPECT_EQ(engine().getPidAction(1, pid), 0u) << pid;
    }

    const ts_fixture::Probe probe = ts_fixture::ffprobe(ts_fixture::twoPrograms().path);
    ASSERT_EQ(probe.programs.size(), 2u);
    ASSERT_EQ(in.programs.size(), 2u);
    for (const auto& [number, fields] : probe.programs) {
        SCOPED_TRACE(number);
        ASSERT_EQ(in.programs.count(number), 1u);
        const ProgramInformation& r = in.programs.at(number);
        EXPECT_EQ(r.sid, 1u);
        EXPECT_EQ(r.program_number, number);
        EXPECT_EQ(r.pmt_pid, std::stoi(fields.at("pmt_pid")));
        EXPECT_EQ(r.pcr_pid, std::stoi(fields.at("pcr_pid")));
        EXPECT_EQ(r.pmt_version, 0);
        EXPECT_EQ(r.service_version, 0);
        EXPECT_EQ(text(r.service_attributes, SERVICE_NAME), fields.at("tag:service_name"));
        EXPECT_EQ(text(r.service_attributes, PROVIDER_NAME), fields.at("tag:service_provider"));
        EXPECT_TRUE(in.isProgramConsistent(number));
    }
    size_t streams = 0;
    for (const auto& [pid, fields] : probe.streams) {
        SCOPED_TRACE(pid);
        const ProgramInformation& r = in.programs.at(probe.stream_program.at(pid));
        ASSERT_EQ(r.streams.count(pid), 1u);
        EXPECT_EQ(r.streams.at(pid).stream_type, std::stoi(fields.at("codec_tag"), nullptr, 16));
        EXPECT_EQ(r.streams.at(pid).es_class, fields.at("codec_type") == "video" ? ES_VIDEO : ES_AUDIO);
        EXPECT_EQ(in.getProgramNumberForPid(pid), probe.stream_program.at(pid));
        ++streams;
    }
    EXPECT_EQ(streams, 5u);

    EXPECT_EQ(in.getProgramNumberForName("Beta Two"), 2);
    EXPECT_EQ(in.getProgramNumberForName("Alpha One"), 1);
    EXPECT_EQ(in.getProgramNumberForName("2"), 2);
    EXPECT_EQ(in.getProgramNumberForName("7"), -1);
    EXPECT_EQ(in.getProgramNumberForName("Gamma"), -1);

    EXPECT_EQ(in.getElementaryStreamTypeDescription(0x100), "MPEG-2 Video");
    EXPECT_EQ(in.getElementaryStreamTypeDescription(0x101), "MPEG-1 Audio, eng");
    EXPECT_EQ(in.getElementaryStreamTypeDescription(0x102), "MPEG-1 Audio, deu");
    EXPECT_EQ(in.getElementaryStreamTypeDescription(0x1FFF), "");

    in.stop();
    EXPECT_TRUE(in.parsers.empty());
    EXPECT_TRUE(in.programs.empty());
    EXPECT_TRUE(in.pats.empty());
    for (int pid : {0x00, 0x11, 0x1000, 0x1001}) {
        EXPECT_EQ(engine().getPidAction(1, pid), 0u) << pid;
    }
}

TEST_F(RemuxScenario, PatAlarmAfterTwoSecondsOfSilenceAndItsClearing) {
    InputMux fed(2);
    InputMux silent(3);
    fed.restart();
    silent.restart();
    feed(fed, two());
    ASSERT_EQ(fed.pats.size(), 1u);

    LogCapture log(google::GLOG_ERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(1900));
    fed.input(nullptr);
    EXPECT_TRUE(fed.alarm.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fed.input(nullptr);
    silent.input(nullptr);
    fed.input(nullptr);
    silent.input(nullptr);
    EXPECT_EQ(fed.heartbeats, 3u);
    EXPECT_EQ(fed.alarm, "PAT repetition interval exceeded 2s");
    EXPECT_EQ(silent.alarm, "PAT repetition interval exceeded 2s");
    EXPECT_EQ(log.count("IM 2 no PAT for "), 1);
    EXPECT_EQ(log.count("IM 3 no PAT for "), 1);
    const std::string line = log.lines().at(0);
    const long ms = std::stol(line.substr(line.rfind(' ') + 1));
    EXPECT_GT(ms, 2000);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(fed.pats[0].version, fed.pat_lost_version);

    // The PAT comes back with the same version: it counts as new and clears the alarm.
    LogCapture info;
    feed(fed, std::vector<Packet>(two().begin(), two().begin() + 100));
    EXPECT_TRUE(fed.alarm.empty());
    EXPECT_EQ(info.count("IM 2 PAT section 0/0, version 42 -> 0"), 1);
    EXPECT_EQ(fed.pats[0].version, 0);
    // Programs and their parsers were kept through the outage.
    EXPECT_EQ(parserPids(fed), (std::set<int>{0x00, 0x11, 0x1000, 0x1001}));
    EXPECT_EQ(fed.programs.at(1).pmt_version, 0);

    silent.restart();
    EXPECT_TRUE(silent.alarm.empty());
}

// PAT version 1 of the stream: program 1 moves its PMT to 0x1010, program 2 stays.
Bytes patMovingProgramOne(int version) {
    return psisi_test::longSection(0x00, 0x1234, version, {0x00, 0x01, 0xF0, 0x10, 0x00, 0x02, 0xF0, 0x01});
}

TEST_F(RemuxScenario, PmtPidChange) {
    InputMux in(4);
    in.restart();
    feed(in, two());
    OutputMux out(257);
    ASSERT_EQ(out.addProgram({4, 1}), 1);
    in.setOutputMuxForProgram(1, &out);
    ASSERT_EQ(out.programs.at(1).streams.size(), 3u);

    LogCapture log;
    feedSection(in, patMovingProgramOne(1), 0x00);
    EXPECT_EQ(log.count("IM 4 program 1 PMT PID changed from 4096 to 4112"), 1);
    EXPECT_EQ(parserPids(in), (std::set<int>{0x00, 0x11, 0x1001, 0x1010}));
    EXPECT_EQ(engine().getPidAction(4, 0x1000), 0u);
    EXPECT_EQ(engine().getPidAction(4, 0x1010), MUXER);
    EXPECT_EQ(in.programs.at(1).pmt_version, -1);
    EXPECT_FALSE(in.isProgramConsistent(1));
    EXPECT_EQ(in.programs.at(2).pmt_version, 0);

    // The next PMT is taken over although it has the version of the one before.
    const Bytes pmt =
        psisi_test::longSection(0x02, 1, 0, {0xE1, 0x00, 0xF0, 0x00, 0x02, 0xE1, 0x00, 0xF0, 0x00});
    feedSection(in, pmt, 0x1010);
    EXPECT_EQ(log.count("IM 4 PMT section 0/0, version -1 -> 0 for program 1"), 1);
    EXPECT_EQ(in.programs.at(1).pmt_version, 0);
    EXPECT_EQ(keys(in.programs.at(1).streams), (std::set<int>{0x100}));
    EXPECT_EQ(keys(out.programs.at(1).streams), (std::set<int>{0x100}));
    // A PMT still arriving on the old PID is not parsed any more.
    feed(in, two(), [](int pid) { return pid == 0x1000; });
    EXPECT_EQ(keys(in.programs.at(1).streams), (std::set<int>{0x100}));
}

TEST_F(RemuxScenario, ProgramLeavingThePat) {
    InputMux in(5);
    in.restart();
    feed(in, two());
    OutputMux a(258);
    OutputMux b(259);
    a.addProgram({5, 1});
    b.addProgram({5, 1});
    a.addProgram({5, 2});
    in.setOutputMuxForProgram(1, &a);
    in.setOutputMuxForProgram(1, &b);
    in.setOutputMuxForProgram(2, &a);

    LogCapture log;
    feedSection(in, psisi_test::longSection(0x00, 0x1234, 1, {0x00, 0x02, 0xF0, 0x01}), 0x00);
    EXPECT_EQ(log.count("IM 5 program 1 PMT PID 4096 not found in new PAT"), 1);
    EXPECT_EQ(parserPids(in), (std::set<int>{0x00, 0x11, 0x1001}));
    EXPECT_EQ(engine().getPidAction(5, 0x1000), 0u);
    EXPECT_EQ(in.programs.count(1), 0u);
    EXPECT_EQ(in.outputs.count(1), 1u);
    EXPECT_EQ(in.outputs.count(2), 1u);
    EXPECT_EQ(in.programs.at(2).pmt_version, 0);
    EXPECT_EQ(engine().getPidAction(5, 0x1001), MUXER);
    EXPECT_EQ(in.getProgramNumberForName("Alpha One"), -1);
    EXPECT_EQ(in.getProgramNumberForName("Beta Two"), 2);
}

// An output may register for a program before its input has seen the PAT: the record handed
// over then must still name the candidate, and the facts follow as the tables arrive.
TEST_F(RemuxScenario, RegistrationBeforeThePat) {
    InputMux in(15);
    in.restart();
    OutputMux out(266);
    out.init();
    ASSERT_EQ(out.addProgram({15, 2}), 2);
    LogCapture log(google::GLOG_WARNING);
    in.setOutputMuxForProgram(2, &out);
    EXPECT_EQ(log.count("non-registered input"), 0);
    EXPECT_EQ(text(out.programs.at(2).service_attributes, SERVICE_NAME), "Program 11");
    feed(in, two());
    EXPECT_EQ(log.count("non-registered input"), 0);
    const ProgramInformation& r = out.programs.at(2);
    EXPECT_EQ(r.pmt_pid, 0x1001);
    EXPECT_EQ(r.pmt_version, 0);
    EXPECT_EQ(keys(r.streams), (std::set<int>{0x103, 0x104}));
    EXPECT_EQ(text(r.service_attributes, SERVICE_NAME), "Beta Two");
    EXPECT_EQ(out.activateProgram({15, 2}, false), 2);
}

// A PAT naming the PAT or SDT PID as a PMT or network PID must not make the demultiplexer
// destroy the parser that is delivering that very PAT.
TEST_F(RemuxScenario, PatNamingItsOwnPidIsHarmless) {
    InputMux in(12);
    in.restart();
    feed(in, two());
    feedSection(
        in,
        psisi_test::longSection(0x00, 0x1234, 3,
                                {0x00, 0x00, 0xE0, 0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x02, 0xE0, 0x11}),
        0x00);
    EXPECT_EQ(in.pats[0].version, 3);
    EXPECT_EQ(in.pats[0].programs, (std::unordered_map<int, int>{{1, 0x00}, {2, 0x11}}));
    EXPECT_EQ(parserPids(in), (std::set<int>{0x00, 0x11}));
    EXPECT_EQ(engine().getPidAction(12, 0x00), MUXER);
    // The PAT parser is still alive and takes the next version.
    feedSection(in, patMovingProgramOne(4), 0x00);
    EXPECT_EQ(in.pats[0].version, 4);
    EXPECT_EQ(parserPids(in), (std::set<int>{0x00, 0x11, 0x1001, 0x1010}));
    // An output does not put such a program on air: its PMT would collide with the PAT.
    OutputMux out(263);
    out.init();
    out.addProgram({12, 7});
    ProgramInformation info;
    info.sid = 12;
    info.program_number = 7;
    info.pmt_pid = 0x11;
    out.updateProgramInformation(info);
    EXPECT_EQ(out.activateProgram({12, 7}, false), -1);
    EXPECT_EQ(out.active, -1);
    EXPECT_EQ(out.generatorVersion(0x11), 1);
}

// The output's tables as a decoder reads them: the first section its generators emit per PID
// during one second from `from_us`.
std::map<int, std::unique_ptr<Section>> emittedTables(OutputMux& out, uint64_t from_us) {
    TsPacketPool pool;
    pool.init(16);
    auto allocate = fastdelegate::MakeDelegate<&TsPacketPool::alloc>(&pool);
    std::map<int, Bytes> sections;
    for (uint64_t t = from_us; t < from_us + 1000000; t += 10000) {
        std::deque<TsPacket*> queue;
        out.output(t, &queue, allocate);
        for (TsPacket* p : queue) {
            const int pid = static_cast<int>(p->pid());
            if ((p->data[1] & 0x40) != 0 && sections.count(pid) == 0) {
                sections[pid].assign(p->data + 5 + p->data[4], p->data + TS_PACKET_SIZE);
            }
            pool.free(p);
        }
    }
    std::map<int, std::unique_ptr<Section>> tables;
    for (auto& [pid, s] : sections) {
        s.resize(3 + (((s[1] & 0x0F) << 8) | s[2]));
        SectionData sd = psisi_test::sectionData(s);
        EXPECT_TRUE(sd.checkCrc32()) << pid;
        tables[pid] = CodecFactory::getInstance().codecs.at(s[0])->decodeSection(&sd);
    }
    return tables;
}

TEST_F(RemuxScenario, ActivationAndSwitchingBetweenTwoInputs) {
    InputMux in1(6);
    InputMux in2(7);
    in1.restart();
    in2.restart();
    feed(in1, two());
    feed(in2, other());

    OutputMux out(260);
    ASSERT_EQ(out.init(), 0);
    EXPECT_EQ(out.generatorVersion(0x00), 1);
    EXPECT_EQ(out.generatorVersion(0x11), 1);
    const StreamProgram a{6, 1};
    const StreamProgram b{7, 1};
    ASSERT_EQ(out.addProgram(a), 1);
    ASSERT_EQ(out.addProgram(b), 2);
    in1.setOutputMuxForProgram(1, &out);
    in2.setOutputMuxForProgram(1, &out);
    const uint32_t ring = 1u << 4;

    LogCapture log;
    ASSERT_EQ(out.activateProgram(a, false), 1);
    EXPECT_EQ(log.count("OM 260 activate  (6:1) -> 1"), 1);
    for (int pid : {0x100, 0x101, 0x102}) {
        EXPECT_EQ(engine().getPidAction(6, pid), ring) << pid;
    }
    EXPECT_EQ(engine().getPidAction(6, 0x103), 0u);
    EXPECT_EQ(engine().getPidAction(6, 0x1000), MUXER);  // the input PMT is regenerated, not routed
    EXPECT_EQ(engine().getPcrPid(260), 0x100);
    EXPECT_EQ(out.pat.programs, (std::unordered_map<int, int>{{1, 0x1000}}));
    ASSERT_EQ(keys(out.sdt.services), (std::set<int>{1}));
    EXPECT_EQ(text(out.sdt.services.at(1).attributes, SERVICE_NAME), "Alpha One");
    EXPECT_EQ(text(out.sdt.services.at(1).attributes, PROVIDER_NAME), "Tavrel");
    EXPECT_EQ(text(out.sdt.services.at(1).attributes, SERVICE_TYPE), "1");
    EXPECT_EQ(out.generatorVersion(0x00), 2);
    EXPECT_EQ(out.generatorVersion(0x11), 2);
    EXPECT_EQ(out.generatorVersion(0x1000), 1);
    EXPECT_EQ(out.programs.at(1).out_version, 0);
    EXPECT_EQ(out.programs.at(1).out_program_number, 1);

    EXPECT_EQ(out.activateProgram(a, false), 1);
    EXPECT_EQ(log.count("OM 260 (6:1) -> 1 already active"), 1);
    EXPECT_EQ(out.generatorVersion(0x00), 2);

    ASSERT_EQ(out.activateProgram(b, false), 2);
    EXPECT_EQ(log.count("OM 260 switch to (7:1) -> 2"), 1);
    EXPECT_EQ(log.count("delete PMT generator at PID 4096"), 1);
    for (int pid : {0x100, 0x101, 0x102}) {
        EXPECT_EQ(engine().getPidAction(6, pid), 0u) << pid;
    }
    for (int pid : {0x200, 0x201}) {
        EXPECT_EQ(engine().getPidAction(7, pid), ring) << pid;
    }
    EXPECT_EQ(engine().getPcrPid(260), 0x200);
    EXPECT_EQ(out.generatorVersion(0x1000), -1);
    EXPECT_EQ(out.generatorVersion(0x1100), 1);
    EXPECT_EQ(out.pat.programs, (std::unordered_map<int, int>{{2, 0x1100}}));
    ASSERT_EQ(keys(out.sdt.services), (std::set<int>{2}));
    EXPECT_EQ(text(out.sdt.services.at(2).attributes, SERVICE_NAME), "Gamma");
    EXPECT_EQ(text(out.sdt.services.at(2).attributes, PROVIDER_NAME), "Tavrel");
    EXPECT_EQ(out.generatorVersion(0x00), 3);
    EXPECT_EQ(out.generatorVersion(0x11), 3);
    EXPECT_EQ(out.programs.at(1).out_version, -1);
    EXPECT_EQ(out.active, 2);
    // What goes out on the wire after the switch.
    auto tables = emittedTables(out, 3000000);
    ASSERT_EQ(keys(tables), (std::set<int>{0x00, 0x11, 0x1100}));
    const PAT& pat = static_cast<const PAT&>(*tables.at(0x00));
    EXPECT_EQ(pat.payload.programs, (std::unordered_map<int, int>{{2, 0x1100}}));
    EXPECT_EQ(pat.version_number, 3);
    const SDT& sdt = static_cast<const SDT&>(*tables.at(0x11));
    ASSERT_EQ(keys(sdt.payload.services), (std::set<int>{2}));
    EXPECT_EQ(text(sdt.payload.services.at(2).attributes, SERVICE_NAME), "Gamma");
    const PMT& pmt = static_cast<const PMT&>(*tables.at(0x1100));
    EXPECT_EQ(pmt.program_number, 2);
    EXPECT_EQ(pmt.pcr_pid, 0x200);
    EXPECT_EQ(pmt.version_number, 1);
    EXPECT_EQ(keys(pmt.streams), (std::set<int>{0x200, 0x201}));

    ASSERT_EQ(out.deactivateProgram(b), 2);
    for (int pid : {0x200, 0x201}) {
        EXPECT_EQ(engine().getPidAction(7, pid), 0u) << pid;
    }
    EXPECT_TRUE(out.pat.programs.empty());
    EXPECT_TRUE(out.sdt.services.empty());
    EXPECT_EQ(out.generatorVersion(0x1100), -1);
    EXPECT_EQ(out.generatorVersion(0x00), 4);
    EXPECT_EQ(out.active, -1);

    ASSERT_EQ(out.deleteProgram(a), 1);
    EXPECT_EQ(out.getProgramForInput(a), -1);
    EXPECT_EQ(out.programs.count(1), 0u);
    EXPECT_EQ(out.getProgramForInput(b), 2);
}

TEST_F(RemuxScenario, AudioSelectionDropsTheOtherAudioPid) {
    InputMux in(8);
    in.restart();
    feed(in, two());
    OutputMux out(261);
    out.init();
    const StreamProgram a{8, 1};
    out.addProgram(a);
    in.setOutputMuxForProgram(1, &out);
    ASSERT_EQ(out.activateProgram(a, false), 1);
    const uint32_t ring = 1u << 5;
    EXPECT_EQ(engine().getPidAction(8, 0x101), ring);

    LogCapture log;
    RemuxProperties p;
    p.active = 1;
    p.attributes[AUDIO_STREAM_PID] = 0x102;
    EXPECT_EQ(out.updateProgramAttributes(a, p), 1);
    EXPECT_EQ(log.count(" drop pid 257"), 1);
    EXPECT_EQ(log.count("OM 261 es type 2 PID set to 258"), 1);
    EXPECT_EQ(keys(out.programs.at(1).out_streams), (std::set<int>{0x100, 0x102}));
    EXPECT_EQ(engine().getPidAction(8, 0x101), 0u);
    EXPECT_EQ(engine().getPidAction(8, 0x102), ring);
    EXPECT_EQ(engine().getPidAction(8, 0x100), ring);
    // The PMT changed on the same PID: its version moves on, so receivers take the change.
    EXPECT_EQ(out.generatorVersion(0x1000), 2);
    auto tables = emittedTables(out, 5000000);
    ASSERT_EQ(tables.count(0x1000), 1u);
    const PMT& pmt = static_cast<const PMT&>(*tables.at(0x1000));
    EXPECT_EQ(pmt.version_number, 2);
    EXPECT_EQ(keys(pmt.streams), (std::set<int>{0x100, 0x102}));
    EXPECT_EQ(pmt.pcr_pid, 0x100);

    // The same settings again change nothing.
    out.updateProgramAttributes(a, p);
    EXPECT_EQ(out.generatorVersion(0x1000), 2);

    p.attributes[AUDIO_STREAM_PID] = -1;
    out.updateProgramAttributes(a, p);
    EXPECT_EQ(log.count("OM 261 es type 2 PID set to default"), 1);
    EXPECT_EQ(keys(out.programs.at(1).out_streams), (std::set<int>{0x100, 0x101, 0x102}));
    EXPECT_EQ(engine().getPidAction(8, 0x101), ring);
    EXPECT_EQ(out.generatorVersion(0x1000), 3);

    // A new input PMT version of the program on air reaches the output PMT.
    feedSection(
        in,
        psisi_test::longSection(
            0x02, 1, 5, {0xE1, 0x01, 0xF0, 0x00, 0x02, 0xE1, 0x00, 0xF0, 0x00, 0x03, 0xE1, 0x01, 0xF0, 0x00}),
        0x1000);
    EXPECT_EQ(keys(out.programs.at(1).out_streams), (std::set<int>{0x100, 0x101}));
    EXPECT_EQ(engine().getPidAction(8, 0x102), 0u);
    EXPECT_EQ(engine().getPcrPid(261), 0x101);
    EXPECT_EQ(out.generatorVersion(0x1000), 4);
}

TEST_F(RemuxScenario, ProgramWithoutServiceGetsTheDefaults) {
    InputMux in(9);
    in.restart();
    feed(in, two(), [](int pid) { return pid != 0x11; });
    ASSERT_EQ(in.programs.at(1).service_version, -1);
    OutputMux out(260);
    out.init();
    out.addProgram({9, 1});
    in.setOutputMuxForProgram(1, &out);
    ASSERT_EQ(out.activateProgram({9, 1}, false), 1);
    const AttributeMap& service = out.sdt.services.at(1).attributes;
    EXPECT_EQ(text(service, SERVICE_TYPE), "22");
    EXPECT_EQ(text(service, SERVICE_NAME), "Program 5");
    EXPECT_EQ(text(service, PROVIDER_NAME), "Tavrel");
    auto tables = emittedTables(out, 1000000);
    ASSERT_EQ(tables.count(0x11), 1u);
    const SDT& sdt = static_cast<const SDT&>(*tables.at(0x11));
    ASSERT_EQ(sdt.payload.services.count(1), 1u);
    EXPECT_EQ(text(sdt.payload.services.at(1).attributes, SERVICE_NAME), "Program 5");
    EXPECT_EQ(text(sdt.payload.services.at(1).attributes, PROVIDER_NAME), "Tavrel");
}

// The generators' output of an active output, together with the elementary-stream packets the
// PID action table routes to it, written to a TS file: ffprobe must find one program with the
// output program number, the input's PIDs and the service name.
TEST_F(RemuxScenario, GeneratedOutputIsOneProgramForFfprobe) {
    InputMux in1(10);
    InputMux in2(11);
    in1.restart();
    in2.restart();
    feed(in1, two());
    feed(in2, other());
    OutputMux out(262);
    out.init();
    const StreamProgram gamma{11, 1};
    const StreamProgram alpha{10, 1};
    ASSERT_EQ(out.addProgram(gamma), 1);
    ASSERT_EQ(out.addProgram(alpha), 2);
    in2.setOutputMuxForProgram(1, &out);
    in1.setOutputMuxForProgram(1, &out);
    ASSERT_EQ(out.activateProgram(alpha, false), 2);

    TsPacketPool pool;
    pool.init(16);
    auto allocate = fastdelegate::MakeDelegate<&TsPacketPool::alloc>(&pool);
    const uint32_t ring = 1u << 6;
    const std::vector<Packet>& input = two();
    std::vector<Packet> wire;
    std::map<int, std::vector<std::pair<uint64_t, int>>> psi;  // PID -> (time, CC)
    const uint64_t start = 7000000;
    for (size_t i = 0; i < input.size(); ++i) {
        // The input lasts 2 s; its packets are spread evenly over that time.
        const uint64_t t = start + i * 2000000 / input.size();
        std::deque<TsPacket*> queue;
        out.output(t, &queue, allocate);
        for (TsPacket* p : queue) {
            Packet copy;
            memcpy(copy.data(), p->data, copy.size());
            wire.push_back(copy);
            psi[static_cast<int>(p->pid())].push_back({t, p->data[3] & 0x0F});
            pool.free(p);
        }
        if ((engine().getPidAction(10, ts_fixture::pidOf(input[i].data())) & ring) != 0) {
            wire.push_back(input[i]);
        }
    }
    const std::string path = ts_fixture::tempDir().path() + "/output_262.ts";
    ts_fixture::writeFile(path, wire);

    const ts_fixture::Probe probe = ts_fixture::ffprobe(path);
    ASSERT_EQ(probe.programs.size(), 1u);
    ASSERT_EQ(probe.programs.count(2), 1u);
    const auto& program = probe.programs.at(2);
    EXPECT_EQ(program.at("pmt_pid"), "4096");
    EXPECT_EQ(program.at("pcr_pid"), "256");
    EXPECT_EQ(program.at("tag:service_name"), "Alpha One");
    EXPECT_EQ(program.at("tag:service_provider"), "Tavrel");
    EXPECT_EQ(keys(probe.streams), (std::set<int>{0x100, 0x101, 0x102}));
    EXPECT_EQ(probe.streams.at(0x100).at("codec_tag"), "0x0002");
    EXPECT_EQ(probe.streams.at(0x101).at("codec_tag"), "0x0003");
    EXPECT_EQ(probe.streams.at(0x102).at("codec_tag"), "0x0003");

    // Each table is one packet: repeated every 500 ms, continuity counters without a gap.
    EXPECT_EQ(keys(psi), (std::set<int>{0x00, 0x11, 0x1000}));
    for (const auto& [pid, sent] : psi) {
        SCOPED_TRACE(pid);
        ASSERT_EQ(sent.size(), 4u);
        for (size_t k = 1; k < sent.size(); ++k) {
            const uint64_t gap = sent[k].first - sent[k - 1].first;
            EXPECT_GE(gap, 500000u);
            EXPECT_LT(gap, 500000u + 2000000 / input.size() + 1);
            EXPECT_EQ(sent[k].second, (sent[k - 1].second + 1) % 16);
        }
    }
}

}  // namespace

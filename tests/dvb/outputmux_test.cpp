#include "dvb/outputmux.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <set>

#include "net/linux_pf_packet/ethlinuxif.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"
#include "tspacketpool.h"

namespace {

using psisi_test::LogCapture;

PmtEsPayload es(int pid, int stream_type, EsClass es_class) {
    PmtEsPayload e;
    e.pid = pid;
    e.stream_type = stream_type;
    e.es_class = es_class;
    e.raw = {static_cast<unsigned char>(stream_type), static_cast<unsigned char>(0xE0 | (pid >> 8)),
             static_cast<unsigned char>(pid), 0xF0, 0x00};
    return e;
}

// What an input demultiplexer knows about program `program` of input `sid` once its PMT was seen.
ProgramInformation info(uint32_t sid, int program, int pmt_pid, int pcr_pid,
                        std::vector<PmtEsPayload> streams, int version = 0) {
    ProgramInformation r;
    r.sid = sid;
    r.program_number = program;
    r.pmt_pid = pmt_pid;
    r.pmt_version = version;
    r.pcr_pid = pcr_pid;
    r.pmt_program_number = program;
    for (PmtEsPayload& e : streams) {
        r.streams[e.pid] = e;
    }
    return r;
}

class OutputMuxTest : public ::testing::Test {
  protected:
    void SetUp() override { psisi_test::initCrc(); }
};

TEST_F(OutputMuxTest, CandidatesGetTheirOwnProgramNumbers) {
    OutputMux out(256);
    LogCapture log;
    EXPECT_EQ(out.addProgram({1, 1}), 1);
    EXPECT_EQ(out.addProgram({2, 1}), 2);
    EXPECT_EQ(out.addProgram({3, 2}), 3);
    EXPECT_EQ(out.addProgram({3, 9}), 9);
    EXPECT_EQ(log.count("OM 256 add program (2:1) as program 2"), 1);
    EXPECT_EQ(out.addProgram({2, 1}), -1);
    EXPECT_EQ(out.getProgramForInput({3, 2}), 3);
    EXPECT_EQ(out.getProgramForInput({3, 3}), -1);
    EXPECT_EQ(out.programs.at(2).sid, 2u);

    for (int i = 4; out.programs.size() < OutputMux::MAX_PROGRAMS; ++i) {
        ASSERT_GT(out.addProgram({4, 100 + i}), 0);
    }
    EXPECT_EQ(out.addProgram({5, 1}), -1);
    EXPECT_EQ(log.count("OM 256 maximum number of programs reached"), 1);
    EXPECT_EQ(out.programs.size(), 255u);
}

TEST_F(OutputMuxTest, UnregisteredCandidatesAreRefused) {
    OutputMux out(257);
    LogCapture log(google::GLOG_WARNING);
    const StreamProgram sp{7, 3};
    EXPECT_EQ(out.activateProgram(sp, false), -1);
    EXPECT_EQ(out.deactivateProgram(sp), -1);
    EXPECT_EQ(out.deactivateProgram(3), -1);
    EXPECT_EQ(out.deleteProgram(sp), -1);
    EXPECT_EQ(out.updateProgramAttributes(sp, RemuxProperties{}), -1);
    EXPECT_EQ(out.updateProgramInformation(info(7, 3, 0x100, 0x101, {})), 0);
    EXPECT_TRUE(out.selectSingleElementaryStream(3, ES_AUDIO, 0x101));
    for (const char* line : {"OM 257 activateProgram(): nonexisting program (7:3)",
                             "OM 257 deactivateProgram(): nonexisting program (7:3)",
                             "OM 257 deleteProgram(): nonexisting program (7:3)",
                             "OM 257 updateProgramAttributes(): nonexisting program (7:3)",
                             "OM 257 updateProgramInformation called for non-registered input (7:3)",
                             "OM 257 selectSingleElementaryStream(): nonexisting program 3"}) {
        EXPECT_EQ(log.count(line), 1) << line;
    }
    EXPECT_TRUE(out.programs.empty());
    EXPECT_TRUE(out.remux_properties.empty());
}

TEST_F(OutputMuxTest, PatAndSdtGoOutEvenWithNothingOnAir) {
    OutputMux out(258);
    TsPacketPool pool;
    pool.init(8);
    auto allocate = fastdelegate::MakeDelegate<&TsPacketPool::alloc>(&pool);
    std::deque<TsPacket*> queue;
    EXPECT_EQ(out.output(0, &queue, allocate), std::numeric_limits<uint64_t>::max());
    out.init();
    std::multiset<int> pids;
    uint64_t next = 0;
    for (uint64_t t = 1000000; t < 3000000; t += 10000) {
        queue.clear();
        next = out.output(t, &queue, allocate);
        EXPECT_LE(next, 500000u);
        for (TsPacket* p : queue) {
            EXPECT_EQ(p->sid, 258u);
            pids.insert(static_cast<int>(p->pid()));
            pool.free(p);
        }
    }
    EXPECT_EQ(pids.count(0x00), 4u);
    EXPECT_EQ(pids.count(0x11), 4u);
    EXPECT_EQ(pids.size(), 8u);
}

TEST_F(OutputMuxTest, PcrPidFollowsTheInputUnlessConfigured) {
    EthLinuxIf& engine = EthLinuxIf::getInstance();
    OutputMux out(259);
    out.init();
    const StreamProgram sp{13, 1};
    out.addProgram(sp);
    out.updateProgramInformation(
        info(13, 1, 0x1000, 0x100,
             {es(0x100, 0x02, ES_VIDEO), es(0x101, 0x03, ES_AUDIO), es(0x1FF, 0x06, ES_OTHER)}));
    ASSERT_EQ(out.activateProgram(sp, false), 1);
    EXPECT_EQ(engine.getPcrPid(259), 0x100);
    EXPECT_EQ(out.programs.at(1).out_pcr_pid, 0x100);

    RemuxProperties p;
    p.attributes[PCR_SYNC] = 0x1FF;
    out.updateProgramAttributes(sp, p);
    EXPECT_EQ(engine.getPcrPid(259), 0x1FF);
    EXPECT_EQ(out.programs.at(1).out_pcr_pid, 0x1FF);
    // A new input PMT keeps the configured PCR PID.
    out.updateProgramInformation(
        info(13, 1, 0x1000, 0x101,
             {es(0x100, 0x02, ES_VIDEO), es(0x101, 0x03, ES_AUDIO), es(0x1FF, 0x06, ES_OTHER)}, 1));
    EXPECT_EQ(engine.getPcrPid(259), 0x1FF);
    // -1 goes back to the input's PCR PID.
    p.attributes[PCR_SYNC] = -1;
    out.updateProgramAttributes(sp, p);
    EXPECT_EQ(engine.getPcrPid(259), 0x101);
    EXPECT_EQ(out.generatorVersion(0x1000), 4);
}

TEST_F(OutputMuxTest, DestroyedOutputLeavesNoRoute) {
    EthLinuxIf& engine = EthLinuxIf::getInstance();
    {
        OutputMux out(259);
        out.init();
        out.addProgram({14, 1});
        out.updateProgramInformation(info(14, 1, 0x1000, 0x100, {es(0x100, 0x02, ES_VIDEO)}));
        ASSERT_EQ(out.activateProgram({14, 1}, false), 1);
        EXPECT_EQ(engine.getPidAction(14, 0x100), 1u << 3);
        // Deactivating by output program number.
        EXPECT_EQ(out.deactivateProgram(1), 1);
        EXPECT_EQ(engine.getPidAction(14, 0x100), 0u);
        EXPECT_EQ(out.activateProgram({14, 1}, false), 1);
    }
    EXPECT_EQ(engine.getPidAction(14, 0x100), 0u);
}

}  // namespace

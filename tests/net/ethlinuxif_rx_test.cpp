// Frame handling of the engine on synthetic ring slots: packaging detection, dissection routed by
// the PID action table into transmit rings held in memory or to the PSI/SI receiver, and the
// recording of one input.
#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "logcapture.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "utils.h"

namespace {

constexpr unsigned MAC = 80;  // where the frame starts in its slot, as the kernel sets tp_mac
constexpr uint32_t SEC = 1700000000;
constexpr uint32_t NSEC = 123456789;

// One receive slot holding a UDP frame of `packets` TS packets on `pids` (cycled).
struct Slot {
    Slot(unsigned packets, std::vector<int> pids = {0x100}, unsigned len = 0) : bytes(2048, 0) {
        frame()->tp_mac = MAC;
        frame()->tp_sec = SEC;
        frame()->tp_nsec = NSEC;
        const unsigned length = len != 0 ? len : 42 + 188 * packets;
        frame()->tp_len = length;
        frame()->tp_snaplen = length;
        for (unsigned k = 0; k < packets && 42 + 188 * (k + 1) <= 2048 - MAC; ++k) {
            unsigned char* p = packet(k);
            const int pid = pids[k % pids.size()];
            memset(p, static_cast<int>(0x10 + k), 188);
            p[0] = 0x47;
            p[1] = static_cast<unsigned char>(pid >> 8);
            p[2] = static_cast<unsigned char>(pid);
            p[3] = 0x10;
        }
    }
    frame_map* frame() { return reinterpret_cast<frame_map*>(bytes.data()); }
    unsigned char* packet(unsigned k) { return bytes.data() + MAC + 42 + 188 * k; }
    std::vector<unsigned char> bytes;
};

// Stands in for the Muxer's input.
struct PsiRecorder {
    void input(unsigned int sid, const unsigned char* data, unsigned int len) {
        sids.push_back(sid);
        packets.emplace_back(data, data + len);
    }
    std::vector<unsigned> sids;
    std::vector<std::vector<unsigned char>> packets;
};

struct DissectTest : ::testing::Test {
    DissectTest() : engine(std::make_unique<EthLinuxIf>()) {
        char tmpl[] = "/tmp/dissect_test.XXXXXX";
        dir = mkdtemp(tmpl);
        engine->setPsiInput(EthLinuxIf::PsiInput::from_method<PsiRecorder, &PsiRecorder::input>(&psi));
    }
    ~DissectTest() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    void initRings(std::initializer_list<unsigned> rings) {
        for (unsigned i : rings)
            ASSERT_EQ(engine->getTxRing(i).initInMemory(256 + i, 0, dir + "/ring" + std::to_string(i)), 0);
    }
    // Puts `sid` into analysis and feeds it one conforming frame of `n` packets.
    void detect(unsigned sid, unsigned n) {
        engine->setHandler(sid, &engine->analyse_delegate);
        Slot s(n);
        engine->dispatch(sid, s.frame());
        ASSERT_EQ(engine->getHandler(sid), &engine->dissector_delegates[n]);
    }

    std::unique_ptr<EthLinuxIf> engine;
    PsiRecorder psi;
    std::string dir;
    LogCapture log;
};

// Each count from 1 to 7 switches the stream to its own dissector and subscribes its PAT; the
// frame that was analysed is not dissected.
TEST_F(DissectTest, AnalysisPicksTheDissectorForOneToSevenPackets) {
    for (unsigned n = 1; n <= 7; ++n) {
        SCOPED_TRACE(n);
        const unsigned sid = 10 + n;
        engine->setHandler(sid, &engine->analyse_delegate);
        Slot s(n);
        engine->dispatch(sid, s.frame());
        EXPECT_TRUE(log.contains(utils::string_format("SID %u detected TS %ux188 at offset 42", sid, n)));
        EXPECT_EQ(engine->getHandler(sid), &engine->dissector_delegates[n]);
        EXPECT_EQ(engine->getPidAction(sid, 0), EthLinuxIf::MUXER_TARGET);
        const EthTsDissect d = engine->getDissectInfo(sid);
        EXPECT_EQ(d.packet_size, 188u);
        EXPECT_EQ(d.packet_count, n);
        EXPECT_EQ(d.offset, 42u);
        EXPECT_EQ(engine->takeStreamBytes(sid), 0u);
        EXPECT_EQ(engine->takePidBytes(sid, 0x100), 0u);
    }
    EXPECT_TRUE(psi.sids.empty());
    // Later frames are dissected without another line.
    log.clear();
    Slot s(7);
    engine->dispatch(17, s.frame());
    EXPECT_EQ(engine->takeStreamBytes(17), 7u * 188);
    EXPECT_FALSE(log.contains("TS 7x188"));
}

// Frames that are not 42 + N x 188 bytes of packets are dropped with their lines and the stream
// stays in analysis; eight packets are detected but not supported.
TEST_F(DissectTest, MalformedFramesKeepTheStreamInAnalysis) {
    const unsigned sid = 5;
    engine->setHandler(sid, &engine->analyse_delegate);
    struct Case {
        const char* what;
        unsigned packets;
        unsigned len;
        int bad_sync;  // packet whose sync byte is broken, -1 none
        const char* line;
        google::LogSeverity severity;
    };
    const Case cases[] = {
        {"229 bytes", 1, 229, -1, "229 bytes RAW frame - too short", google::GLOG_INFO},
        {"1000 bytes", 5, 1000, -1, "1000 bytes RAW frame - no divisible by 188", google::GLOG_INFO},
        {"third packet without sync", 7, 0, 2, "at 418 found 0x46 expected 0x47", google::GLOG_INFO},
        {"eight packets", 8, 0, -1, "8 TS per UDP not supported", google::GLOG_WARNING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Slot s(c.packets, {0x100}, c.len);
        if (c.bad_sync >= 0)
            s.packet(static_cast<unsigned>(c.bad_sync))[0] = 0x46;
        engine->dispatch(sid, s.frame());
        EXPECT_TRUE(log.contains(c.line, c.severity)) << log.text();
        EXPECT_EQ(engine->getHandler(sid), &engine->analyse_delegate);
        EXPECT_EQ(engine->getPidAction(sid, 0), 0u);
    }
    EXPECT_TRUE(log.contains("SID 5 detected TS 8x188 at offset 42"));
    // The same frames again: the first two lines are logged once, the sync line once per 100,
    // and a sender that keeps to eight packets does not get a line per frame.
    for (int i = 0; i < 2; ++i) {
        for (const Case& c : cases) {
            Slot s(c.packets, {0x100}, c.len);
            if (c.bad_sync >= 0)
                s.packet(static_cast<unsigned>(c.bad_sync))[0] = 0x46;
            engine->dispatch(sid, s.frame());
        }
    }
    for (const Case& c : cases)
        EXPECT_EQ(log.count(c.line), 1) << c.line;
    EXPECT_EQ(log.count("TS 8x188"), 1);
    EXPECT_EQ(engine->getHandler(sid), &engine->analyse_delegate);
    // A valid frame ends the analysis.
    Slot good(7);
    engine->dispatch(sid, good.frame());
    EXPECT_TRUE(log.contains("SID 5 changed TS 7x188 at offset 42"));
    EXPECT_EQ(engine->getHandler(sid), &engine->dissector_delegates[7]);
}

// Each set bit sends the packet to its ring (several bits, several rings); bit 31 sends it to
// the PSI/SI receiver only; no bit drops it. Every packet is counted whatever its action.
TEST_F(DissectTest, ActionWordsRouteEveryPacket) {
    initRings({0, 1, 2, 3});
    const unsigned sid = 9;
    detect(sid, 7);
    engine->setPidAction(sid, 0x100, 256);
    engine->setPidAction(sid, 0x100, 258);
    engine->setPidAction(sid, 0x101, 256);
    engine->setPidAction(sid, 0x101, 258);
    engine->setPidAction(sid, 0x101, EthLinuxIf::MUXER_TARGET);
    engine->setPidAction(sid, 0x102, 257);
    engine->takeStreamBytes(sid);

    // PIDs 0x100, 0x101, 0x102, 0x103 (no action), then again.
    Slot s(7, {0x100, 0x101, 0x102, 0x103});
    engine->dispatch(sid, s.frame());
    EXPECT_EQ(engine->getTxRing(0).getFill(), 2u);
    EXPECT_EQ(engine->getTxRing(2).getFill(), 2u);
    EXPECT_EQ(engine->getTxRing(1).getFill(), 2u);
    EXPECT_EQ(engine->getTxRing(3).getFill(), 0u);
    // The packets as received, in order, behind the room for the header.
    const unsigned char* slot0 = reinterpret_cast<const unsigned char*>(engine->getTxRing(0).slot(0));
    const unsigned char* slot1 = reinterpret_cast<const unsigned char*>(engine->getTxRing(0).slot(1));
    EXPECT_EQ(memcmp(slot0 + 74, s.packet(0), 188), 0);
    EXPECT_EQ(memcmp(slot1 + 74, s.packet(4), 188), 0);
    ASSERT_EQ(psi.sids.size(), 2u);
    EXPECT_EQ(psi.sids[0], sid);
    EXPECT_EQ(psi.packets[0], std::vector<unsigned char>(s.packet(1), s.packet(1) + 188));
    EXPECT_EQ(psi.packets[1], std::vector<unsigned char>(s.packet(5), s.packet(5) + 188));

    EXPECT_EQ(engine->takeStreamBytes(sid), 7u * 188);
    EXPECT_EQ(engine->takePidBytes(sid, 0x100), 2u * 188);
    EXPECT_EQ(engine->takePidBytes(sid, 0x101), 2u * 188);
    EXPECT_EQ(engine->takePidBytes(sid, 0x102), 2u * 188);
    EXPECT_EQ(engine->takePidBytes(sid, 0x103), 188u);
    EXPECT_EQ(engine->takePidBytes(sid, 0x103), 0u);
}

// A frame's receive time (ns) reaches the ring with its packets: a PCR packet is timed from it.
uint64_t clockAtFrameTime() {
    return (static_cast<uint64_t>(SEC) * 1000000000u + NSEC) / 20;
}

TEST_F(DissectTest, PacketsCarryTheFramesReceiveTime) {
    initRings({5});
    engine->getTxRing(5).setClock(&clockAtFrameTime);
    const unsigned sid = 3;
    detect(sid, 1);
    engine->setPidAction(sid, 0x1FF, 261);
    engine->setPcrPid(261, 0x1FF);
    Slot s(1, {0x1FF});
    unsigned char* p = s.packet(0);
    p[3] = 0x30;
    p[4] = 7;
    p[5] = 0x10;
    memset(p + 6, 0, 6);
    engine->dispatch(sid, s.frame());
    const TxRing& r = engine->getTxRing(5);
    ASSERT_EQ(r.getFill(), 1u);
    const unsigned long long t = static_cast<unsigned long long>(SEC) * 1000000000ull + NSEC;
    EXPECT_EQ(r.getSendTime(0), t / 20 + r.getDelay());
}

// One dissector per count: all N packets of a frame are taken, none more.
TEST_F(DissectTest, DissectorsTakeExactlyTheirPackets) {
    initRings({0});
    for (unsigned n = 1; n <= 7; ++n) {
        SCOPED_TRACE(n);
        const unsigned sid = 20 + n;
        detect(sid, n);
        engine->setPidAction(sid, 0x100, 256);
        const unsigned before = engine->getTxRing(0).getFill();
        Slot s(n);
        engine->dispatch(sid, s.frame());
        EXPECT_EQ(engine->getTxRing(0).getFill(), before + n);
        EXPECT_EQ(engine->takePidBytes(sid, 0x100), n * 188);
    }
}

// Once dissected, a frame that does not fit the packaging is not cut into packets from the
// slot's old contents: a malformed one is dropped with the analysis' lines, a valid one with
// another count is cut with its own count, and the stream keeps its dissector.
TEST_F(DissectTest, DissectorsCheckEveryFrame) {
    initRings({0});
    const unsigned sid = 30;
    detect(sid, 7);
    engine->setPidAction(sid, 0x100, 256);
    struct Case {
        const char* what;
        unsigned packets;
        unsigned len;
        int bad_sync;
        unsigned forwarded;
        const char* line;
    };
    const Case cases[] = {
        {"short frame", 7, 229, -1, 0, "229 bytes RAW frame - too short"},
        {"not a multiple of 188", 7, 1000, -1, 0, "1000 bytes RAW frame - no divisible by 188"},
        {"bad sync byte", 7, 0, 6, 0, "at 1170 found 0x00 expected 0x47"},
        {"eight packets", 8, 0, -1, 0, "8 TS per UDP not supported"},
        // The sync line is logged once per hundred.
        {"bad sync byte in a smaller frame", 3, 0, 1, 0, nullptr},
        {"one packet", 1, 0, -1, 1, nullptr},
        {"five packets", 5, 0, -1, 5, nullptr},
        {"seven packets", 7, 0, -1, 7, nullptr},
    };
    unsigned fill = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        Slot s(c.packets, {0x100}, c.len);
        if (c.bad_sync >= 0)
            s.packet(static_cast<unsigned>(c.bad_sync))[0] = 0x00;
        engine->dispatch(sid, s.frame());
        fill += c.forwarded;
        EXPECT_EQ(engine->getTxRing(0).getFill(), fill);
        EXPECT_EQ(engine->takeStreamBytes(sid), c.forwarded * 188);
        EXPECT_EQ(engine->getHandler(sid), &engine->dissector_delegates[7]);
        if (c.line != nullptr) {
            EXPECT_TRUE(log.contains(c.line)) << log.text();
        }
        EXPECT_FALSE(log.contains("changed TS 1x188"));
        EXPECT_FALSE(log.contains("changed TS 5x188"));
    }
}

// The recorded stream's file grows by 1324 bytes per datagram (receive time, most significant
// byte first, then the seven packets) while the stream is dissected as usual.
class SaveTest : public DissectTest {
  protected:
    static constexpr unsigned SID = 61;
    SaveTest() {
        created_dir = mkdir("/tmp/ts", 0755) == 0;
        path = "/tmp/ts/" + std::to_string(SID) + ".timedts";
        unlink(path.c_str());
        engine->setSaveSid(SID);
    }
    ~SaveTest() override {
        unlink(path.c_str());
        if (created_dir)
            rmdir("/tmp/ts");
    }
    std::vector<unsigned char> recorded() {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool created_dir = false;
    std::string path;
};

TEST_F(SaveTest, RecordsEachDatagramWithItsTime) {
    initRings({0});
    engine->setPidAction(SID, 0x100, 256);
    engine->setHandler(SID, &engine->analyse_delegate);
    Slot first(7);
    engine->dispatch(SID, first.frame());
    EXPECT_TRUE(log.contains("SID 61 saving to file"));
    EXPECT_EQ(engine->getHandler(SID), &engine->save_delegate);

    std::vector<Slot> frames;
    for (unsigned i = 0; i < 3; ++i) {
        frames.emplace_back(7);
        frames.back().frame()->tp_nsec = NSEC + i;
        frames.back().packet(0)[4] = static_cast<unsigned char>(i);
    }
    Slot short_frame(7, {0x100}, 300);
    engine->dispatch(SID, frames[0].frame());
    engine->dispatch(SID, short_frame.frame());
    engine->dispatch(SID, frames[1].frame());
    engine->dispatch(SID, frames[2].frame());
    // Dissected as usual (the short frame neither recorded nor forwarded).
    EXPECT_EQ(engine->getTxRing(0).getFill(), 21u);

    // The engine going away closes (and flushes) the file.
    engine.reset();
    const std::vector<unsigned char> bytes = recorded();
    ASSERT_EQ(bytes.size(), 3u * 1324);
    for (unsigned i = 0; i < 3; ++i) {
        const unsigned char* record = bytes.data() + 1324 * i;
        unsigned long long t = 0;
        for (int b = 0; b < 8; ++b)
            t = t << 8 | record[b];
        EXPECT_EQ(t, static_cast<unsigned long long>(SEC) * 1000000000ull + NSEC + i);
        EXPECT_EQ(memcmp(record + 8, frames[i].packet(0), 1316), 0) << i;
    }
}

// Only the recorded stream with seven packets per datagram is recorded.
TEST_F(SaveTest, OtherStreamsAndPackagingsAreNotRecorded) {
    engine->setHandler(SID, &engine->analyse_delegate);
    engine->setHandler(SID - 1, &engine->analyse_delegate);
    Slot five(5);
    engine->dispatch(SID, five.frame());
    EXPECT_EQ(engine->getHandler(SID), &engine->dissector_delegates[5]);
    Slot seven(7);
    engine->dispatch(SID - 1, seven.frame());
    EXPECT_EQ(engine->getHandler(SID - 1), &engine->dissector_delegates[7]);
    EXPECT_FALSE(log.contains("saving to file"));
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
}

// A symbolic link planted at the recording's path is never followed; the stream stays in
// analysis and the next frame tries again.
TEST_F(SaveTest, RefusesAPlantedSymbolicLink) {
    const std::string victim = dir + "/victim";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    engine->setHandler(SID, &engine->analyse_delegate);
    Slot s(7);
    engine->dispatch(SID, s.frame());
    EXPECT_TRUE(log.contains("SID 61 cannot open output file", google::GLOG_WARNING));
    EXPECT_EQ(engine->getHandler(SID), &engine->analyse_delegate);
    engine->dispatch(SID, s.frame());
    EXPECT_EQ(engine->getHandler(SID), &engine->analyse_delegate);
    std::ifstream in(victim);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "precious");

    unlink(path.c_str());
    engine->dispatch(SID, s.frame());
    EXPECT_EQ(engine->getHandler(SID), &engine->save_delegate);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// A write that fails closes the recording and discards the stream's later frames.
TEST_F(SaveTest, WriteFailureStopsTheStream) {
    initRings({0});
    engine->setPidAction(SID, 0x100, 256);
    engine->setHandler(SID, &engine->analyse_delegate);
    Slot s(7);
    engine->dispatch(SID, s.frame());
    ASSERT_EQ(engine->getHandler(SID), &engine->save_delegate);

    // Files of this process may not grow past 64 KiB for a moment.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 65536;
    setrlimit(RLIMIT_FSIZE, &small);
    unsigned frames = 0;
    while (engine->getHandler(SID) == &engine->save_delegate && frames < 5000) {
        engine->dispatch(SID, s.frame());
        ++frames;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(engine->getHandler(SID), &engine->discard_delegate);
    EXPECT_TRUE(log.contains("SID 61 error writing to file", google::GLOG_ERROR));
    // The failing frame itself was still dissected; later ones are discarded.
    const unsigned fill = engine->getTxRing(0).getFill();
    EXPECT_EQ(fill, std::min(frames * 7, 4095u));
    engine->dispatch(SID, s.frame());
    EXPECT_EQ(engine->getTxRing(0).getFill(), fill);
}

}  // namespace

// The engine end to end on three namespaces: ffmpeg sends a two-program TS as multicast into the
// device namespace, where the engine and the Muxer (set up by the driver as the stream manager
// will) remultiplex one program onto an output stream that a sink captures. tshark and ffprobe
// judge what arrives; the captures on both sides of the device give the timing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/netutils.h"
#include "testbed.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* INPUT_GROUP = "239.1.1.1";
constexpr uint16_t INPUT_PORT = 5000;
constexpr const char* OUTPUT_GROUP = "239.2.2.2";
// ffmpeg's PIDs: program 1 video 0x100 (its PCR), audio 0x101, PMT 0x1000; program 2 video
// 0x102 (its PCR), audio 0x103, PMT 0x1001.
constexpr int P1_VIDEO = 0x100, P1_AUDIO = 0x101, P1_PMT = 0x1000;
constexpr int P2_VIDEO = 0x102, P2_AUDIO = 0x103, P2_PMT = 0x1001;

uint64_t realtimeNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Time of a glog line ("I20261211 14:54:50.283097 ...", local time) in ns since the epoch.
uint64_t logTimeNs(const std::string& line) {
    struct tm t {};
    unsigned micros = 0;
    if (sscanf(line.c_str() + 1, "%4d%2d%2d %2d:%2d:%2d.%6u", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
               &t.tm_min, &t.tm_sec, &micros) != 7)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    return static_cast<uint64_t>(mktime(&t)) * 1000000000u + micros * 1000ull;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty())
            out.push_back(line);
    }
    return out;
}

// Empty fields included, also at the end.
std::vector<std::string> splitOn(const std::string& text, char sep) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

// One captured frame with its capture time.
struct Captured {
    uint64_t ns;
    Bytes bytes;
};

// A pcap file with nanosecond or microsecond stamps, Ethernet link type.
std::vector<Captured> readPcap(const std::string& path) {
    const std::string d = readFile(path);
    std::vector<Captured> frames;
    if (d.size() < 24)
        return frames;
    uint32_t magic;
    memcpy(&magic, d.data(), 4);
    const bool nano = magic == 0xa1b23c4d;
    size_t o = 24;
    while (o + 16 <= d.size()) {
        uint32_t h[4];
        memcpy(h, d.data() + o, 16);
        o += 16;
        if (o + h[2] > d.size())
            break;
        frames.push_back({static_cast<uint64_t>(h[0]) * 1000000000u + (nano ? h[1] : h[1] * 1000ull),
                          Bytes(d.begin() + static_cast<long>(o), d.begin() + static_cast<long>(o + h[2]))});
        o += h[2];
    }
    return frames;
}

// TS packets of the UDP frames of a capture, with the capture time of their frame.
struct TsPacketAt {
    uint64_t ns;
    Bytes bytes;
    int pid() const { return (bytes[1] & 0x1F) << 8 | bytes[2]; }
    bool hasPcr() const { return (bytes[3] & 0x20) && bytes[4] > 0 && (bytes[5] & 0x10); }
    // PCR in nanoseconds.
    double pcrNs() const {
        const uint64_t base = static_cast<uint64_t>(bytes[6]) << 25 | static_cast<uint64_t>(bytes[7]) << 17 |
                              static_cast<uint64_t>(bytes[8]) << 9 | static_cast<uint64_t>(bytes[9]) << 1 |
                              bytes[10] >> 7;
        const uint64_t ext = (bytes[10] & 1u) << 8 | bytes[11];
        return static_cast<double>(base * 300 + ext) * 1000.0 / 27.0;
    }
};

std::vector<TsPacketAt> tsPackets(const std::vector<Captured>& frames) {
    std::vector<TsPacketAt> packets;
    for (const Captured& f : frames) {
        if (f.bytes.size() < 42 || f.bytes[12] != 0x08 || f.bytes[13] != 0x00 || f.bytes[23] != IPPROTO_UDP)
            continue;
        for (size_t o = 42; o + 188 <= f.bytes.size(); o += 188)
            packets.push_back({f.ns, Bytes(f.bytes.begin() + static_cast<long>(o),
                                           f.bytes.begin() + static_cast<long>(o + 188))});
    }
    return packets;
}

struct Spread {
    double min = 1e300, max = -1e300;
    void add(double v) {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    double width() const { return max - min; }
};

class EngineMilestone : public ::testing::Test {
  protected:
    EngineMilestone() : in(testbed::connect(src, dut)), out(testbed::connect(dut, sink)) {
        char tmpl[] = "/tmp/engine_milestone.XXXXXX";
        dir = mkdtemp(tmpl);
        for (testbed::Namespace* ns : {&src, &dut, &sink})
            ns->must("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
        src.addAddress(in.a, "198.18.1.1/24");
        dut.addAddress(in.b, "198.18.1.2/24");
        dut.addAddress(out.a, "198.18.2.1/24");
        sink.addAddress(out.b, "198.18.2.2/24");
        src.addRoute("239.0.0.0/8", in.a);
        // Room for the test's datagram of eight TS packets.
        src.must("ip link set " + in.a + " mtu 1600");
        dut.must("ip link set " + in.b + " mtu 1600");
    }
    ~EngineMilestone() override {
        for (auto& [ns, pid] : running)
            ns->stop(pid);
        if (!HasFailure())
            testbed::run("rm -rf '" + dir + "'");
        else
            printf("test bed files kept in %s\n", dir.c_str());
    }

    pid_t start(testbed::Namespace& ns, const std::string& command) {
        const pid_t pid = ns.spawn(command);
        running.emplace_back(&ns, pid);
        return pid;
    }
    void finish(pid_t pid) {
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (it->second == pid) {
                it->first->stop(pid);
                running.erase(it);
                return;
            }
        }
    }
    // Waits until `text` shows up in a file.
    bool waitFor(const std::string& path, const std::string& text, int ms) {
        for (int waited = 0; waited < ms; waited += 20) {
            if (readFile(path).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Malformed datagrams to the input's address, sent from the source namespace.
    void sendMalformed() {
        testbed::EnterNamespace enter(src);
        const int sock = socket(AF_PACKET, SOCK_RAW, 0);
        ASSERT_GE(sock, 0);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = net::getIfIndex(in.a);
        to.sll_halen = 6;
        auto frame = [&](unsigned payload, int broken_sync) {
            Bytes f(42 + payload, 0xEE);
            EXPECT_EQ(net::makeUdpHeader(in.a, INPUT_GROUP, payload, f.data()), 42);
            f[36] = INPUT_PORT >> 8;
            f[37] = INPUT_PORT & 0xFF;
            for (size_t o = 42; o + 188 <= f.size(); o += 188) {
                f[o] = 0x47;
                f[o + 1] = P1_VIDEO >> 8;
                f[o + 2] = P1_VIDEO & 0xFF;
                f[o + 3] = 0x10;
            }
            if (broken_sync >= 0)
                f[42 + 188 * static_cast<unsigned>(broken_sync)] = 0x00;
            return f;
        };
        const Bytes frames[] = {frame(187, -1), frame(958, -1), frame(7 * 188, 2), frame(8 * 188, -1)};
        for (const Bytes& f : frames) {
            memcpy(to.sll_addr, f.data(), 6);
            EXPECT_EQ(sendto(sock, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                      static_cast<ssize_t>(f.size()));
        }
        close(sock);
    }
    std::vector<std::vector<std::string>> tshark(const std::string& filter, const std::string& fields) {
        std::string text;
        testbed::run("tshark -r '" + dir + "/out.pcap' -d udp.port==1234,mp2t -Y '" + filter +
                         "' -T fields -E separator=';' -E aggregator=, " + fields + " 2>/dev/null",
                     &text);
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : lines(text))
            rows.push_back(splitOn(line, ';'));
        return rows;
    }
    // The TS of the output's frames captured in [from, to), as a file, and what ffprobe says.
    std::string ffprobe(const std::vector<Captured>& frames, uint64_t from, uint64_t to,
                        const std::string& name) {
        const std::string path = dir + "/" + name;
        std::ofstream ts(path, std::ios::binary);
        for (const Captured& f : frames) {
            if (f.ns >= from && f.ns < to && f.bytes.size() == 230)
                ts.write(reinterpret_cast<const char*>(f.bytes.data() + 42), 188);
        }
        ts.close();
        std::string text;
        testbed::run(
            "ffprobe -hide_banner -loglevel error -show_programs -of compact=p=1:nk=0 '" + path + "'", &text);
        return text;
    }

    testbed::Namespace src{"src"};
    testbed::Namespace dut{"dut"};
    testbed::Namespace sink{"sink"};
    testbed::Veth in;
    testbed::Veth out;
    std::string dir;
    std::vector<std::pair<testbed::Namespace*, pid_t>> running;
};

TEST_F(EngineMilestone, ProgramReceivedRegeneratedAndPacedOnTheWire) {
    const std::string log = dir + "/driver.log";
    const pid_t sink_capture =
        start(sink, "exec taskset -c 0 tcpdump -i " + out.b + " -w " + dir +
                        "/out.pcap -U --time-stamp-precision=nano 2>" + dir + "/tcpdump_out.log");
    const pid_t input_capture =
        start(dut, "exec taskset -c 0 tcpdump -i " + in.b + " -w " + dir +
                       "/in.pcap -U --time-stamp-precision=nano udp 2>" + dir + "/tcpdump_in.log");
    ASSERT_TRUE(waitFor(dir + "/tcpdump_out.log", "listening", 5000));
    ASSERT_TRUE(waitFor(dir + "/tcpdump_in.log", "listening", 5000));

    // The engine thread spins; a high weight keeps the machine's other work from taking whole
    // time slices of its CPU.
    const pid_t driver =
        start(dut, std::string("exec nice -n -20 ") + ENGINE_DRIVER + " --rxif=" + in.b + " --txif=" + out.a +
                       " --input=" + INPUT_GROUP + ":" + std::to_string(INPUT_PORT) +
                       " --output=" + OUTPUT_GROUP + " --unbuilt_output=not.an.address --pidfile=" + dir +
                       "/driver.pid --logtostderr >" + dir + "/driver.out 2>" + log);
    ASSERT_TRUE(waitFor(log, "Running! Hang up with ^C!", 10000)) << readFile(log);
    // ffmpeg encodes live and sends each video frame as it is muxed: bursts around the PCR
    // line. It and the captures keep off the engine's CPU and ahead of the machine's other work,
    // so that what the sink sees is the engine's timing.
    const pid_t source =
        start(src,
              "exec nice -n -10 taskset -c 0 ffmpeg -hide_banner -loglevel error -re "
              "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=1000:sample_rate=48000 "
              "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=500:sample_rate=48000 "
              "-map 0:v -map 1:a -map 2:v -map 3:a -c:v mpeg2video -b:v 600k -c:a mp2 -b:a 96k "
              "-program 'title=Alpha One:program_num=1:st=0:st=1' -program 'title=Beta "
              "Two:program_num=2:st=2:st=3' "
              "-metadata:p:0 'service_provider=Provider A' -metadata:p:1 'service_provider=Provider B' "
              "-mpegts_pmt_start_pid 0x1000 -mpegts_start_pid 0x100 -pcr_period 20 -flush_packets 0 -t 40 "
              "-f mpegts 'udp://" +
                  std::string(INPUT_GROUP) + ":" + std::to_string(INPUT_PORT) + "?pkt_size=1316&ttl=4' 2>" +
                  dir + "/ffmpeg.log");
    ASSERT_TRUE(waitFor(log, "driver: program 1 on air", 10000)) << readFile(log);
    const auto on_air = std::chrono::steady_clock::now();
    const uint64_t on_air_ns = realtimeNs();

    std::this_thread::sleep_until(on_air + std::chrono::seconds(8));
    sendMalformed();
    std::this_thread::sleep_until(on_air + std::chrono::seconds(12));
    const int driver_pid = std::stoi(readFile(dir + "/driver.pid"));
    const uint64_t switch_ns = realtimeNs();
    ASSERT_EQ(kill(driver_pid, SIGUSR1), 0);
    ASSERT_TRUE(waitFor(log, "driver: program 2 on air", 2000));
    std::this_thread::sleep_until(on_air + std::chrono::milliseconds(15500));
    finish(source);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    finish(sink_capture);
    finish(input_capture);
    finish(driver);
    const std::string driver_log = readFile(log);

    // Every frame on the output link is one TS packet behind the output's header; the output
    // whose header could not be built sent nothing.
    unsigned char header[42];
    {
        testbed::EnterNamespace enter(dut);
        ASSERT_EQ(net::makeUdpHeader(out.a, OUTPUT_GROUP, 188, header), 42);
    }
    const std::vector<Captured> frames = readPcap(dir + "/out.pcap");
    ASSERT_GT(frames.size(), 1000u);
    size_t bad_frames = 0;
    for (const Captured& f : frames)
        bad_frames += f.bytes.size() != 230 || memcmp(f.bytes.data(), header, 42) != 0;
    EXPECT_EQ(bad_frames, 0u);
    EXPECT_NE(driver_log.find("SID 257 has no output header, PSI/SI packet not sent"), std::string::npos);
    EXPECT_EQ(driver_log.find("SID 256 has no output header"), std::string::npos);

    // Tables as tshark decodes them, before and after the switch.
    struct Phase {
        const char* name;
        uint64_t from, to;
        int program, pmt_pid, pcr_pid;
        std::string streams, service;
    };
    const Phase phases[] = {
        // Until it is on air the output's tables are empty.
        {"program 1", on_air_ns + 600000000ull, switch_ns, 1, P1_PMT, P1_VIDEO, "256,257", "Alpha One"},
        {"program 2", switch_ns + 500000000ull, UINT64_MAX, 2, P2_PMT, P2_VIDEO, "258,259", "Beta Two"},
    };
    auto inPhase = [](const std::string& epoch, const Phase& p) {
        const uint64_t ns = static_cast<uint64_t>(std::stod(epoch) * 1e9);
        return ns >= p.from && ns < p.to;
    };
    std::set<int> pat_versions[2];
    for (int i = 0; i < 2; ++i) {
        const Phase& p = phases[i];
        SCOPED_TRACE(p.name);
        size_t pats = 0, pmts = 0, sdts = 0;
        for (const auto& row : tshark("mpeg_pat",
                                      "-e frame.time_epoch -e mpeg_pat.version -e mpeg_pat.prog_num "
                                      "-e mpeg_pat.prog_map_pid")) {
            ASSERT_EQ(row.size(), 4u);
            if (!inPhase(row[0], p))
                continue;
            ++pats;
            pat_versions[i].insert(std::stoi(row[1], nullptr, 0));
            EXPECT_EQ(std::stoi(row[2], nullptr, 0), p.program);
            EXPECT_EQ(std::stoi(row[3], nullptr, 0), p.pmt_pid);
        }
        for (const auto& row : tshark("mpeg_pmt",
                                      "-e frame.time_epoch -e mp2t.pid -e mpeg_pmt.pg_num "
                                      "-e mpeg_pmt.pcr_pid -e mpeg_pmt.stream.elementary_pid")) {
            ASSERT_EQ(row.size(), 5u);
            if (!inPhase(row[0], p))
                continue;
            ++pmts;
            EXPECT_EQ(std::stoi(row[1], nullptr, 0), p.pmt_pid);
            EXPECT_EQ(std::stoi(row[2], nullptr, 0), p.program);
            EXPECT_EQ(std::stoi(row[3], nullptr, 0), p.pcr_pid);
            std::vector<std::string> listed = splitOn(row[4], ',');
            std::vector<int> pids;
            for (const std::string& s : listed)
                pids.push_back(std::stoi(s, nullptr, 0));
            std::sort(pids.begin(), pids.end());
            std::string joined;
            for (int pid : pids)
                joined += (joined.empty() ? "" : ",") + std::to_string(pid);
            EXPECT_EQ(joined, p.streams);
        }
        for (const auto& row : tshark("dvb_sdt",
                                      "-e frame.time_epoch -e dvb_sdt.svc.id "
                                      "-e mpeg_descr.svc.provider_name -e mpeg_descr.svc.svc_name")) {
            ASSERT_EQ(row.size(), 4u);
            if (!inPhase(row[0], p))
                continue;
            ++sdts;
            EXPECT_EQ(std::stoi(row[1], nullptr, 0), p.program);
            EXPECT_EQ(row[2], "Tavrel");
            EXPECT_EQ(row[3], p.service);
        }
        // Repeated every 500 ms.
        EXPECT_GE(pats, 4u);
        EXPECT_GE(pmts, 4u);
        EXPECT_GE(sdts, 4u);
    }
    ASSERT_EQ(pat_versions[0].size(), 1u);
    ASSERT_EQ(pat_versions[1].size(), 1u);
    EXPECT_NE(*pat_versions[0].begin(), *pat_versions[1].begin());

    // No packet lost or repeated on any output PID.
    EXPECT_TRUE(tshark("mp2t.cc.drop", "-e mp2t.pid").empty());

    // ffprobe finds exactly the program on air, with its video and audio.
    for (const Phase& p : phases) {
        SCOPED_TRACE(p.name);
        const std::string probe = ffprobe(frames, p.from, p.to, std::string("output_") + p.name[8] + ".ts");
        size_t programs = 0;
        for (const std::string& line : lines(probe))
            programs += line.rfind("program|", 0) == 0;
        EXPECT_EQ(programs, 1u) << probe;
        EXPECT_NE(probe.find("program_num=" + std::to_string(p.program) + "|"), std::string::npos) << probe;
        EXPECT_NE(probe.find("pmt_pid=" + std::to_string(p.pmt_pid) + "|"), std::string::npos) << probe;
        EXPECT_NE(probe.find("codec_name=mpeg2video"), std::string::npos) << probe;
        EXPECT_NE(probe.find("codec_name=mp2"), std::string::npos) << probe;
    }

    // Routes follow the program on air: each phase carries only its program's streams.
    const std::vector<TsPacketAt> out_packets = tsPackets(frames);
    std::map<int, size_t> pids_before, pids_after;
    for (const TsPacketAt& p : out_packets) {
        if (p.ns < switch_ns)
            ++pids_before[p.pid()];
        else if (p.ns >= phases[1].from)
            ++pids_after[p.pid()];
    }
    for (int pid : {P1_VIDEO, P1_AUDIO, P1_PMT}) {
        EXPECT_GT(pids_before[pid], 0u) << pid;
        EXPECT_EQ(pids_after[pid], 0u) << pid;
    }
    for (int pid : {P2_VIDEO, P2_AUDIO, P2_PMT}) {
        EXPECT_EQ(pids_before[pid], 0u) << pid;
        EXPECT_GT(pids_after[pid], 0u) << pid;
    }

    // Malformed input frames were reported and dropped; none of their packets went out.
    for (const char* line : {"229 bytes RAW frame - too short", "1000 bytes RAW frame - no divisible by 188",
                             "at 418 found 0x00 expected 0x47", "8 TS per UDP not supported"})
        EXPECT_NE(driver_log.find(line), std::string::npos) << line;
    size_t foreign = 0;
    for (const TsPacketAt& p : out_packets)
        foreign += p.bytes[4] == 0xEE && p.bytes[100] == 0xEE && p.bytes[187] == 0xEE;
    EXPECT_EQ(foreign, 0u);

    // Pacing: once the jitter filter has filled (5 s of PCR time after its last restart),
    // capture time minus PCR time of the output's PCR packets stays within 2 ms, however bursty
    // the source's datagrams are. On a shared machine the spinning engine thread is now and then
    // descheduled for a time slice of other work (about 3 ms here), which delays the frame due
    // then: 95 % of the samples must lie within 2 ms, and none may be off by more than a few
    // slices (a restart of the filter would be tens of milliseconds).
    const std::vector<TsPacketAt> in_packets = tsPackets(readPcap(dir + "/in.pcap"));
    // The filter fills again after each restart (a grown delay restarts it): the last filling
    // before the switch counts, with half a second for the skew to settle.
    uint64_t filled_ns = 0;
    for (const std::string& line : lines(driver_log.substr(0, driver_log.find("driver: program 2 on air")))) {
        if (line.find("SID 256: filling complete") != std::string::npos)
            filled_ns = logTimeNs(line);
    }
    ASSERT_NE(filled_ns, 0u) << "the jitter filter never filled";
    const uint64_t window_from = filled_ns + 500000000ull;
    ASSERT_LT(window_from + 2000000000ull, switch_ns) << "less than 2 s of paced output before the switch";
    std::vector<double> offsets;
    Spread input_spread;
    for (const TsPacketAt& p : out_packets) {
        if (p.pid() == P1_VIDEO && p.hasPcr() && p.ns >= window_from && p.ns < switch_ns)
            offsets.push_back(static_cast<double>(p.ns) - p.pcrNs());
    }
    for (const TsPacketAt& p : in_packets) {
        if (p.pid() == P1_VIDEO && p.hasPcr() && p.ns >= window_from && p.ns < switch_ns)
            input_spread.add(static_cast<double>(p.ns) - p.pcrNs());
    }
    ASSERT_GE(offsets.size(), 40u);
    std::sort(offsets.begin(), offsets.end());
    const size_t covered = (offsets.size() * 95 + 99) / 100;
    double band = 1e300;
    for (size_t i = 0; i + covered <= offsets.size(); ++i)
        band = std::min(band, offsets[i + covered - 1] - offsets[i]);
    const double full = offsets.back() - offsets.front();
    printf(
        "capture - PCR over %zu output PCR packets after filling: 95%% within %.3f ms, all within %.3f ms "
        "(input: %.3f ms)\n",
        offsets.size(), band / 1e6, full / 1e6, input_spread.width() / 1e6);
    EXPECT_LT(band, 2e6);
    EXPECT_LT(full, 10e6);

    // Delay: a PCR packet that arrives on the line the filter keeps leaves tx_delay (plus the
    // ring's spread) later; later arrivals leave correspondingly sooner. Other packets are spread
    // evenly between PCR packets, however they came.
    // The delay in force: drawn at start-up, grown by 50 ms whenever the queue ran dry (the source
    // was later than the delay allows).
    double configured_ms = 0;
    for (const std::string& line : lines(driver_log.substr(0, driver_log.find("driver: program 2 on air")))) {
        size_t at = line.find("OUT SID 256 delay ");
        if (at != std::string::npos)
            configured_ms = std::stod(line.substr(line.find('(', at) + 1)) / 1000.0;
        at = line.find("TXQ empty, new delay ");
        if (at != std::string::npos)
            configured_ms = std::stod(line.substr(at + 21)) / 50000.0;
    }
    ASSERT_GT(configured_ms, 0);
    std::map<Bytes, std::vector<uint64_t>> arrivals;
    for (const TsPacketAt& p : in_packets)
        arrivals[p.bytes].push_back(p.ns);
    Spread pcr_delay, es_delay;
    for (const TsPacketAt& p : out_packets) {
        if ((p.pid() != P1_VIDEO && p.pid() != P1_AUDIO) || p.ns < window_from || p.ns >= switch_ns)
            continue;
        auto found = arrivals.find(p.bytes);
        if (found == arrivals.end())
            continue;
        // Identical packets recur (a steady tone): the latest arrival before it left.
        auto later = std::upper_bound(found->second.begin(), found->second.end(), p.ns);
        if (later == found->second.begin())
            continue;
        const double ms = static_cast<double>(p.ns - *(later - 1)) / 1e6;
        es_delay.add(ms);
        if (p.hasPcr())
            pcr_delay.add(ms);
    }
    printf("input to output: PCR packets %.3f to %.3f ms, all packets %.3f to %.3f ms, tx_delay %.3f ms\n",
           pcr_delay.min, pcr_delay.max, es_delay.min, es_delay.max, configured_ms);
    EXPECT_NEAR(pcr_delay.max, configured_ms, 3.0);
}

}  // namespace

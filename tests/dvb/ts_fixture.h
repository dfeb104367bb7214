// Real transport streams for scenario tests, made by ffmpeg once per test program in a private
// temporary directory, and a few helpers to run the oracles (ffprobe) and to cut packets.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ts_fixture {

using Packet = std::array<unsigned char, 188>;

// Runs a shell command; its standard output goes to `out` when given. Returns the exit status.
inline int run(const std::string& command, std::string* out = nullptr) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        if (out != nullptr) {
            out->append(buffer, n);
        }
    }
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private directory removed with everything in it when the test program ends.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/orrel_ts_XXXXXX";
        if (mkdtemp(name) != nullptr) {
            path_ = name;
        }
    }
    ~TempDir() {
        if (!path_.empty()) {
            run("rm -rf '" + path_ + "'");
        }
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline const TempDir& tempDir() {
    static TempDir dir;
    return dir;
}

inline std::vector<Packet> readPackets(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Packet> packets(bytes.size() / 188);
    for (size_t i = 0; i < packets.size(); ++i) {
        std::copy(bytes.begin() + static_cast<long>(i * 188),
                  bytes.begin() + static_cast<long>(i * 188 + 188), packets[i].begin());
    }
    return packets;
}

struct TsFile {
    std::string path;
    std::vector<Packet> packets;
};

inline TsFile make(const std::string& name, const std::string& arguments) {
    TsFile f;
    f.path = tempDir().path() + "/" + name;
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -y " + arguments + " -f mpegts '" + f.path + "'";
    if (run(command) == 0) {
        f.packets = readPackets(f.path);
    }
    return f;
}

// Two programs with names and providers, transport_stream_id 0x1234:
//   1 "Alpha One" / "Provider A": PMT 0x1000, PCR 0x100; MPEG-2 video 0x100, MPEG audio 0x101
//     (eng) and 0x102 (deu)
//   2 "Beta Two" / "Provider B": PMT 0x1001, PCR 0x103; MPEG-2 video 0x103, MPEG audio 0x104
inline const TsFile& twoPrograms() {
    static const TsFile f =
        make("two_programs.ts",
             "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=1000 -t 2 "
             "-map 0:v -map 1:a -map 1:a -map 0:v -map 1:a -c:v mpeg2video -c:a mp2 "
             "-metadata:s:a:0 language=eng -metadata:s:a:1 language=deu "
             "-program 'title=Alpha One:program_num=1:st=0:st=1:st=2' -program 'title=Beta "
             "Two:program_num=2:st=3:st=4' "
             "-metadata:p:0 'service_provider=Provider A' -metadata:p:1 'service_provider=Provider B' "
             "-mpegts_transport_stream_id 0x1234");
    return f;
}

// One program 1 "Gamma" / "Provider C", transport_stream_id 0x77: PMT 0x1100, PCR 0x200;
// MPEG-2 video 0x200, MPEG audio 0x201.
inline const TsFile& otherInput() {
    static const TsFile f = make("other_input.ts",
                                 "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=500 -t 2 "
                                 "-map 0:v -map 1:a -c:v mpeg2video -c:a mp2 "
                                 "-metadata service_name=Gamma -metadata 'service_provider=Provider C' "
                                 "-mpegts_service_id 1 -mpegts_pmt_start_pid 0x1100 -mpegts_start_pid 0x200 "
                                 "-mpegts_transport_stream_id 0x77");
    return f;
}

inline int pidOf(const unsigned char* p) {
    return ((p[1] & 0x1F) << 8) | p[2];
}

inline void writeFile(const std::string& path, const std::vector<Packet>& packets) {
    std::ofstream out(path, std::ios::binary);
    for (const Packet& p : packets) {
        out.write(reinterpret_cast<const char*>(p.data()), 188);
    }
}

// What ffprobe reads in a file: per program number its fields, and per PID the stream fields
// ("program_num", "pmt_pid", "pcr_pid", "tag:service_name", "tag:service_provider"; "id",
// "codec_tag", "codec_type"), numbers in decimal or as ffprobe prints them.
struct Probe {
    std::map<int, std::map<std::string, std::string>> programs;
    std::map<int, std::map<std::string, std::string>> streams;
    std::map<int, int> stream_program;
};

inline Probe ffprobe(const std::string& path) {
    Probe probe;
    std::string out;
    run("ffprobe -hide_banner -loglevel error -show_programs -of compact=p=1:nk=0 '" + path + "'", &out);
    std::istringstream lines(out);
    std::string line;
    int program = -1;
    std::string kind;
    std::map<std::string, std::string> fields;
    auto flush = [&] {
        if (kind == "program" && fields.count("program_num") != 0) {
            program = std::stoi(fields["program_num"]);
            probe.programs[program] = fields;
        } else if (kind == "stream" && fields.count("id") != 0) {
            const int pid = static_cast<int>(std::stoul(fields["id"], nullptr, 16));
            probe.streams[pid] = fields;
            probe.stream_program[pid] = program;
        }
        fields.clear();
    };
    while (std::getline(lines, line)) {
        std::istringstream items(line);
        std::string item;
        while (std::getline(items, item, '|')) {
            const size_t eq = item.find('=');
            if (eq == std::string::npos) {
                // "program", "stream" or "side_data" starts a new record.
                flush();
                kind = item;
                continue;
            }
            fields[item.substr(0, eq)] = item.substr(eq + 1);
        }
        flush();
        kind.clear();
    }
    return probe;
}

}  // namespace ts_fixture

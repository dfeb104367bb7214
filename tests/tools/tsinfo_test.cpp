// tsinfo run as an operator would, on ffmpeg-made files; ffprobe says what it must find.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "dvb/ts_fixture.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result tsinfo(const std::string& arguments) {
    Result r;
    r.status = ts_fixture::run(std::string(TSINFO_BINARY) + " " + arguments + " 2>&1", &r.out);
    return r;
}

struct Summary {
    struct Program {
        int pmt_pid = -1;
        int pcr_pid = -1;
        std::string name, provider;
        std::map<int, int> stream_types;  // PID -> stream_type
        std::map<int, std::string> descriptions;
    };
    std::map<int, Program> programs;
};

Summary parse(const std::string& out) {
    Summary s;
    const std::regex program("^program (\\d+): PMT PID 0x([0-9a-f]+), PCR PID 0x([0-9a-f]+)$");
    const std::regex service("^  service: name \"(.*)\", provider \"(.*)\", type (\\d+)$");
    const std::regex stream("^  PID 0x([0-9a-f]+): stream_type 0x([0-9a-f]+), (\\w+), (.*)$");
    std::istringstream lines(out.substr(out.find("Summary:")));
    std::string line;
    Summary::Program* current = nullptr;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, program)) {
            current = &s.programs[std::stoi(m[1])];
            current->pmt_pid = std::stoi(m[2], nullptr, 16);
            current->pcr_pid = std::stoi(m[3], nullptr, 16);
        } else if (current != nullptr && std::regex_match(line, m, service)) {
            current->name = m[1];
            current->provider = m[2];
        } else if (current != nullptr && std::regex_match(line, m, stream)) {
            const int pid = std::stoi(m[1], nullptr, 16);
            current->stream_types[pid] = std::stoi(m[2], nullptr, 16);
            current->descriptions[pid] = m[4];
        }
    }
    return s;
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

void expectSameAsFfprobe(const std::string& path, const Summary& summary) {
    const ts_fixture::Probe probe = ts_fixture::ffprobe(path);
    ASSERT_FALSE(probe.programs.empty());
    ASSERT_EQ(summary.programs.size(), probe.programs.size());
    for (const auto& [number, fields] : probe.programs) {
        SCOPED_TRACE(number);
        ASSERT_EQ(summary.programs.count(number), 1u);
        const Summary::Program& p = summary.programs.at(number);
        EXPECT_EQ(p.pmt_pid, std::stoi(fields.at("pmt_pid")));
        EXPECT_EQ(p.pcr_pid, std::stoi(fields.at("pcr_pid")));
        EXPECT_EQ(p.name, fields.at("tag:service_name"));
        EXPECT_EQ(p.provider, fields.at("tag:service_provider"));
        int streams = 0;
        for (const auto& [pid, program] : probe.stream_program) {
            if (program == number) {
                ++streams;
                ASSERT_EQ(p.stream_types.count(pid), 1u) << pid;
                EXPECT_EQ(p.stream_types.at(pid),
                          std::stoi(probe.streams.at(pid).at("codec_tag"), nullptr, 16));
            }
        }
        EXPECT_EQ(static_cast<int>(p.stream_types.size()), streams);
    }
}

TEST(Tsinfo, FindsWhatFfprobeFinds) {
    for (const ts_fixture::TsFile* f : {&ts_fixture::twoPrograms(), &ts_fixture::otherInput()}) {
        SCOPED_TRACE(f->path);
        ASSERT_FALSE(f->packets.empty());
        const Result r = tsinfo("-q '" + f->path + "'");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.rfind("Summary: " + std::to_string(f->packets.size()) + " packets", 0), 0u) << r.out;
        expectSameAsFfprobe(f->path, parse(r.out));
    }
    const Summary s = parse(tsinfo("-q '" + ts_fixture::twoPrograms().path + "'").out);
    EXPECT_EQ(s.programs.at(1).descriptions.at(0x100), "MPEG-2 Video");
    EXPECT_EQ(s.programs.at(1).descriptions.at(0x101), "MPEG-1 Audio, eng");
    EXPECT_EQ(s.programs.at(1).descriptions.at(0x102), "MPEG-1 Audio, deu");
}

TEST(Tsinfo, PrintsEachTableVersionOnce) {
    const Result r = tsinfo("'" + ts_fixture::twoPrograms().path + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(occurrences(r.out, "PAT version 0, section 0/0\n"), 1) << r.out;
    EXPECT_EQ(occurrences(r.out, "PMT version 0, section 0/0\n"), 2);
    EXPECT_EQ(occurrences(r.out, "SDT version 0, section 0/0\n"), 1);
    EXPECT_EQ(occurrences(r.out, "| program 1 PCR PID 256\n"), 1);
    EXPECT_EQ(occurrences(r.out, "service_name : Beta Two"), 1);
    EXPECT_LT(r.out.find("PAT version"), r.out.find("PMT version"));
    EXPECT_LT(r.out.find("SDT version"), r.out.find("Summary:"));
}

TEST(Tsinfo, FindsThePacketsAgainAfterGarbage) {
    const ts_fixture::TsFile& f = ts_fixture::twoPrograms();
    const std::string path = ts_fixture::tempDir().path() + "/garbled.ts";
    {
        std::ofstream out(path, std::ios::binary);
        out.write("junk", 4);
        for (size_t i = 0; i < f.packets.size(); ++i) {
            out.write(reinterpret_cast<const char*>(f.packets[i].data()), 188);
            if (i == f.packets.size() / 2) {
                out.write("\x47garbage", 8);
            }
        }
    }
    const Result r = tsinfo("-q '" + path + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Summary: " + std::to_string(f.packets.size()) + " packets, sync lost 1 times", 0),
              0u)
        << r.out;
    expectSameAsFfprobe(f.path, parse(r.out));
}

TEST(Tsinfo, RefusesWhatItCannotRead) {
    const std::string dir = ts_fixture::tempDir().path();
    {
        std::ofstream(dir + "/text.ts") << std::string(2000, 'x');
        std::ofstream(dir + "/empty.ts");
        std::ofstream short_file(dir + "/short.ts", std::ios::binary);
        short_file.write(reinterpret_cast<const char*>(ts_fixture::twoPrograms().packets.at(0).data()), 100);
    }
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"'" + dir + "/missing.ts'", 1,
         "tsinfo: cannot read " + dir + "/missing.ts: No such file or directory"},
        {"'" + dir + "'", 1, "tsinfo: cannot read " + dir + ": Is a directory"},
        {"'" + dir + "/text.ts'", 1, "holds no MPEG transport stream"},
        {"'" + dir + "/empty.ts'", 1, "holds no MPEG transport stream"},
        {"'" + dir + "/short.ts'", 1, "holds no MPEG transport stream"},
        {"", 2, "usage: tsinfo"},
        {"-x '" + dir + "/text.ts'", 2, "tsinfo: unknown option -x"},
    };
    for (const Case& c : cases) {
        const Result r = tsinfo(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.arguments << ": " << r.out;
        EXPECT_EQ(r.out.find("Summary"), std::string::npos);
    }
}

}  // namespace

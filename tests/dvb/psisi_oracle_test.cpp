// Tables we encode, packetised into a TS file and read by real decoders (tshark's MPEG/DVB
// dissectors and ffprobe): they must find the programs, PIDs, stream types and names we put in,
// and every CRC intact.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dvb/psisi/codecfactory.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/pmt.h"
#include "dvb/psisi/sdt.h"
#include "ffmpeg_vectors.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"
#include "utils.h"

namespace {

using psisi_test::Bytes;

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) {
        out.append(buf.data(), n);
    }
    pclose(p);
    return out;
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    std::string l;
    while (std::getline(in, l)) {
        v.push_back(l);
    }
    return v;
}

Bytes encode(const Section& table, int version) {
    SectionData sd;
    sd.version_number = static_cast<uint32_t>(version);
    CodecFactory::getInstance().codecs.at(table.table_id)->encodeSection(&table, &sd);
    sd.appendCrc32();
    return Bytes(sd.bytes, sd.bytes + sd.length);
}

std::unique_ptr<PMT> decodePmt(const Bytes& b) {
    SectionData sd = psisi_test::sectionData(b);
    std::unique_ptr<Section> s = CodecFactory::getInstance().codecs.at(0x02)->decodeSection(&sd);
    return std::unique_ptr<PMT>(static_cast<PMT*>(s.release()));
}

class PsisiOracle : public ::testing::Test {
  protected:
    void SetUp() override {
        psisi_test::initCrc();
        char dir_template[] = "/tmp/psisi_oracle_XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        file_ = dir_ + "/tables.ts";

        // What an output would carry: two programs whose streams come from ffmpeg's PMTs.
        PAT pat(ST_PAT);
        pat.payload.programs = {{1, 0x1000}, {7, 0x1100}};
        std::unique_ptr<PMT> pmt1 = decodePmt(Bytes(std::begin(ffmpeg_vectors::two_programs_pmt_1),
                                                    std::end(ffmpeg_vectors::two_programs_pmt_1)));
        std::unique_ptr<PMT> pmt7 = decodePmt(Bytes(std::begin(ffmpeg_vectors::utf8_names_pmt_257),
                                                    std::end(ffmpeg_vectors::utf8_names_pmt_257)));
        pmt7->program_number = 7;
        pmt7->program_info = {0x0E, 0x03, 0xC0, 0x27, 0x10};
        SDT sdt(ST_SDT);
        sdt.payload.services[1].attributes = {
            {SERVICE_TYPE, 1}, {PROVIDER_NAME, "Provider A"}, {SERVICE_NAME, "Alpha One"}};
        sdt.payload.services[7].attributes = {
            {SERVICE_TYPE, 0x19}, {PROVIDER_NAME, "Pr\xC3\xB8vider"}, {SERVICE_NAME, "Kanal \xC3\x9C"}};

        const std::vector<std::pair<int, Bytes>> sections = {{0x0000, encode(pat, 3)},
                                                             {0x0011, encode(sdt, 4)},
                                                             {0x1000, encode(*pmt1, 5)},
                                                             {0x1100, encode(*pmt7, 6)}};
        std::ofstream out(file_, std::ios::binary);
        std::map<int, int> cc;
        for (int repeat = 0; repeat < 3; ++repeat) {
            for (const auto& [pid, section] : sections) {
                for (const Bytes& p : psisi_test::packetise(section, pid, cc[pid])) {
                    out.write(reinterpret_cast<const char*>(p.data()),
                              static_cast<std::streamsize>(p.size()));
                    cc[pid] = (cc[pid] + 1) & 0x0F;
                }
            }
        }
    }
    void TearDown() override {
        unlink(file_.c_str());
        rmdir(dir_.c_str());
    }

    std::string dir_, file_;
};

TEST_F(PsisiOracle, TsharkReadsOurPatPmtAndSdt) {
    const std::string out = run(
        "tshark -r " + file_ +
        " -o mpeg_sect.verify_crc:TRUE -T fields -E separator=';' -e mpeg_sect.tid -e mpeg_sect.crc.status"
        " -e mpeg_pat.tsid -e mpeg_pat.version -e mpeg_pat.prog_num -e mpeg_pat.prog_map_pid"
        " -e mpeg_pmt.pg_num -e mpeg_pmt.version -e mpeg_pmt.pcr_pid -e mpeg_pmt.stream.type"
        " -e mpeg_pmt.stream.elementary_pid -e dvb_sdt.tsid -e dvb_sdt.original_nid -e dvb_sdt.svc.id"
        " -e dvb_sdt.svc.running_status -e mpeg_descr.svc.type -e mpeg_descr.svc.provider_name"
        " -e mpeg_descr.svc.svc_name");
    std::map<std::string, std::vector<std::string>> seen;
    int sections = 0;
    for (const std::string& l : lines(out)) {
        std::vector<std::string> f;
        std::string field;
        std::istringstream in(l);
        while (std::getline(in, field, ';')) {
            f.push_back(field);
        }
        f.resize(18);
        if (f[0].empty()) {
            continue;
        }
        ++sections;
        EXPECT_EQ(f[1], "1") << "CRC not good: " << l;
        if (f[0] == "0x00") {
            seen["pat"] = f;
        } else if (f[0] == "0x02") {
            seen["pmt " + f[6]] = f;
        } else if (f[0] == "0x42") {
            seen["sdt"] = f;
        }
    }
    ASSERT_EQ(sections, 12) << out;
    ASSERT_EQ(seen.size(), 4u) << out;

    const auto& pat = seen["pat"];
    EXPECT_EQ(pat[2], "0x0002");
    EXPECT_EQ(pat[3], "0x03");
    // Our map order is our own: compare as sets of program -> PID.
    std::map<std::string, std::string> programs;
    {
        std::istringstream nums(pat[4]), pids(pat[5]);
        std::string n, p;
        while (std::getline(nums, n, ',') && std::getline(pids, p, ',')) {
            programs[n] = p;
        }
    }
    EXPECT_EQ(programs, (std::map<std::string, std::string>{{"0x0001", "0x1000"}, {"0x0007", "0x1100"}}));

    const auto& pmt1 = seen["pmt 0x0001"];
    EXPECT_EQ(pmt1[7], "0x05");
    EXPECT_EQ(pmt1[8], "0x0100");
    const auto& pmt7 = seen["pmt 0x0007"];
    EXPECT_EQ(pmt7[8], "0x0300");
    auto streamSet = [](const std::vector<std::string>& f) {
        std::map<std::string, std::string> s;
        std::istringstream types(f[9]), pids(f[10]);
        std::string t, p;
        while (std::getline(types, t, ',') && std::getline(pids, p, ',')) {
            s[p] = t;
        }
        return s;
    };
    EXPECT_EQ(streamSet(pmt1), (std::map<std::string, std::string>{
                                   {"0x0100", "0x02"}, {"0x0101", "0x03"}, {"0x0102", "0x06"}}));
    EXPECT_EQ(streamSet(pmt7), (std::map<std::string, std::string>{{"0x0300", "0x1b"}, {"0x0301", "0x81"}}));

    const auto& sdt = seen["sdt"];
    EXPECT_EQ(sdt[11], "0x0002");
    EXPECT_EQ(sdt[12], "0x0000");
    EXPECT_EQ(sdt[14], "0x0004,0x0004");
    EXPECT_EQ(sdt[15], "0x01,0x01");
    const bool one_first = sdt[13].rfind("0x0001", 0) == 0;
    const std::string names = one_first ? "Alpha One,Kanal \xC3\x9C" : "Kanal \xC3\x9C,Alpha One";
    const std::string providers = one_first ? "Provider A,Pr\xC3\xB8vider" : "Pr\xC3\xB8vider,Provider A";
    EXPECT_EQ(sdt[17], names);
    EXPECT_EQ(sdt[16], providers);
}

TEST_F(PsisiOracle, FfprobeFindsProgramsStreamsAndNames) {
    const std::string out =
        run("ffprobe -v error -show_entries program=program_num,pmt_pid,pcr_pid:program_tags="
            "service_name,service_provider:stream=id,codec_name:stream_tags=language -of flat " +
            file_);
    std::map<std::string, std::string> kv;
    for (const std::string& l : lines(out)) {
        const size_t eq = l.find('=');
        if (eq != std::string::npos) {
            std::string v = l.substr(eq + 1);
            if (v.size() >= 2 && v.front() == '"') {
                v = v.substr(1, v.size() - 2);
            }
            kv[l.substr(0, eq)] = v;
        }
    }
    // Program index in ffprobe's list -> its number.
    std::map<std::string, std::string> by_number;
    for (int i = 0; i < 2; ++i) {
        by_number[kv["programs.program." + std::to_string(i) + ".program_num"]] =
            "programs.program." + std::to_string(i) + ".";
    }
    ASSERT_EQ(by_number.count("1"), 1u) << out;
    ASSERT_EQ(by_number.count("7"), 1u) << out;
    const std::string p1 = by_number["1"], p7 = by_number["7"];
    EXPECT_EQ(kv[p1 + "pmt_pid"], "4096");
    EXPECT_EQ(kv[p1 + "pcr_pid"], "256");
    EXPECT_EQ(kv[p1 + "tags.service_name"], "Alpha One");
    EXPECT_EQ(kv[p1 + "tags.service_provider"], "Provider A");
    EXPECT_EQ(kv[p7 + "pmt_pid"], "4352");
    EXPECT_EQ(kv[p7 + "pcr_pid"], "768");
    EXPECT_EQ(kv[p7 + "tags.service_name"], "Kanal \xC3\x9C");
    EXPECT_EQ(kv[p7 + "tags.service_provider"], "Pr\xC3\xB8vider");

    std::map<std::string, std::string> codecs;
    for (const std::string& p : {p1, p7}) {
        for (int s = 0; s < 3; ++s) {
            const std::string key = p + "streams.stream." + std::to_string(s) + ".";
            if (kv.count(key + "id")) {
                codecs[kv[key + "id"]] = kv[key + "codec_name"];
            }
        }
    }
    EXPECT_EQ(codecs, (std::map<std::string, std::string>{{"0x100", "mpeg2video"},
                                                          {"0x101", "mp3"},
                                                          {"0x102", "dvb_subtitle"},
                                                          {"0x300", "h264"},
                                                          {"0x301", "ac3"}}))
        << out;
}

}  // namespace

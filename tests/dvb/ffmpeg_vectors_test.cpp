// Sections that ffmpeg wrote, decoded by our codecs and assembler, compared with what ffprobe and
// tshark read in the same streams (ffmpeg_vectors.h, made by vectors/regenerate.py).
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dvb/inputmux.h"
#include "dvb/psisi/codecfactory.h"
#include "dvb/psisi/pmtcodec.h"
#include "dvb/psisiparser.h"
#include "ffmpeg_vectors.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;
namespace fv = ffmpeg_vectors;

template <size_t N>
Bytes bytes(const unsigned char (&a)[N]) {
    return Bytes(a, a + N);
}

struct Vector {
    const char* name;
    Bytes pat, sdt;
    std::vector<std::pair<int, Bytes>> pmts;
    std::vector<fv::ProbedProgram> programs;
    std::vector<fv::ProbedStream> streams;
};

const std::vector<Vector>& vectors() {
    static const std::vector<Vector> v = {
        {"two_programs",
         bytes(fv::two_programs_pat),
         bytes(fv::two_programs_sdt),
         {{1, bytes(fv::two_programs_pmt_1)}, {2, bytes(fv::two_programs_pmt_2)}},
         {std::begin(fv::two_programs_programs), std::end(fv::two_programs_programs)},
         {std::begin(fv::two_programs_streams), std::end(fv::two_programs_streams)}},
        {"utf8_names",
         bytes(fv::utf8_names_pat),
         bytes(fv::utf8_names_sdt),
         {{257, bytes(fv::utf8_names_pmt_257)}},
         {std::begin(fv::utf8_names_programs), std::end(fv::utf8_names_programs)},
         {std::begin(fv::utf8_names_streams), std::end(fv::utf8_names_streams)}},
        {"many_services",
         bytes(fv::many_services_pat),
         bytes(fv::many_services_sdt),
         {{1, bytes(fv::many_services_pmt_1)}, {2, bytes(fv::many_services_pmt_2)}},
         {std::begin(fv::many_services_programs), std::end(fv::many_services_programs)},
         {std::begin(fv::many_services_streams), std::end(fv::many_services_streams)}},
    };
    return v;
}

template <typename T>
std::unique_ptr<T> decodeAs(const Bytes& b) {
    SectionData sd = psisi_test::sectionData(b);
    EXPECT_TRUE(sd.checkCrc32());
    std::unique_ptr<Section> s =
        CodecFactory::getInstance().codecs.at(static_cast<int>(sd.table_id))->decodeSection(&sd);
    T* t = dynamic_cast<T*>(s.get());
    EXPECT_NE(t, nullptr);
    s.release();
    return std::unique_ptr<T>(t);
}

class FfmpegVectors : public ::testing::Test {
  protected:
    void SetUp() override { psisi_test::initCrc(); }
};

TEST_F(FfmpegVectors, PatListsTheProgramsFfprobeFound) {
    for (const Vector& v : vectors()) {
        LogCapture log(google::GLOG_WARNING);
        auto pat = decodeAs<PAT>(v.pat);
        EXPECT_EQ(pat->payload.programs.size(), v.programs.size()) << v.name;
        for (const fv::ProbedProgram& p : v.programs) {
            ASSERT_EQ(pat->payload.programs.count(p.program_number), 1u) << v.name << " " << p.program_number;
            EXPECT_EQ(pat->payload.programs.at(p.program_number), p.pmt_pid) << v.name;
        }
        EXPECT_EQ(pat->payload.nid_pid, -1) << v.name;
        EXPECT_TRUE(log.lines().empty()) << v.name;
    }
    EXPECT_EQ(decodeAs<PAT>(vectors()[0].pat)->payload.transport_stream_id, 0x1234);
}

TEST_F(FfmpegVectors, SdtNamesAreFfprobesNames) {
    for (const Vector& v : vectors()) {
        LogCapture log(google::GLOG_WARNING);
        auto sdt = decodeAs<SDT>(v.sdt);
        EXPECT_EQ(sdt->payload.services.size(), v.programs.size()) << v.name;
        for (const fv::ProbedProgram& p : v.programs) {
            ASSERT_EQ(sdt->payload.services.count(p.program_number), 1u) << v.name;
            const AttributeMap& a = sdt->payload.services.at(p.program_number).attributes;
            EXPECT_EQ(a.at(SERVICE_NAME).get<std::string>(), p.service_name) << v.name;
            EXPECT_EQ(a.at(PROVIDER_NAME).get<std::string>(), p.provider_name) << v.name;
        }
        EXPECT_TRUE(log.lines().empty()) << v.name;
    }
    // The service types the streams were made with.
    EXPECT_EQ(decodeAs<SDT>(vectors()[0].sdt)->payload.services.at(1).attributes.at(SERVICE_TYPE).get<int>(),
              0x01);
    EXPECT_EQ(
        decodeAs<SDT>(vectors()[1].sdt)->payload.services.at(257).attributes.at(SERVICE_TYPE).get<int>(),
        0x19);
}

TEST_F(FfmpegVectors, PmtStreamsAreTsharksStreams) {
    for (const Vector& v : vectors()) {
        for (const auto& [program, section] : v.pmts) {
            LogCapture log(google::GLOG_WARNING);
            auto pmt = decodeAs<PMT>(section);
            EXPECT_EQ(pmt->program_number, program);
            for (const fv::ProbedProgram& p : v.programs) {
                if (p.program_number == program) {
                    EXPECT_EQ(pmt->pcr_pid, p.pcr_pid) << v.name;
                }
            }
            std::set<std::tuple<int, int>> expected, got;
            for (const fv::ProbedStream& s : v.streams) {
                if (s.program_number == program) {
                    expected.emplace(s.pid, s.stream_type);
                }
            }
            for (const auto& [pid, es] : pmt->streams) {
                got.emplace(pid, es.stream_type);
            }
            EXPECT_EQ(got, expected) << v.name << " program " << program;
            EXPECT_TRUE(log.lines().empty()) << v.name;
        }
    }
}

TEST_F(FfmpegVectors, StreamClassesAndDescriptorAttributes) {
    auto p1 = decodeAs<PMT>(vectors()[0].pmts[0].second);
    EXPECT_EQ(p1->streams.at(0x100).es_class, ES_VIDEO);
    const PmtEsPayload& mp2 = p1->streams.at(0x101);
    EXPECT_EQ(mp2.es_class, ES_AUDIO);
    EXPECT_EQ(mp2.attributes.at(ISO_639_LANGUAGE_CODE).get<std::string>(), "eng");
    EXPECT_EQ(mp2.attributes.at(AUDIO_TYPE).get<std::string>(), "0x00");
    const PmtEsPayload& sub = p1->streams.at(0x102);
    EXPECT_EQ(sub.es_class, ES_SUBTITLE);
    EXPECT_EQ(sub.attributes.at(ISO_639_LANGUAGE_CODE).get<std::string>(), "deu");
    EXPECT_EQ(sub.attributes.at(SUBTITLING_TYPE).get<std::string>(),
              "0x10 - DVB subtitles (normal) with no monitor aspect ratio criticality");

    auto p2 = decodeAs<PMT>(vectors()[0].pmts[1].second);
    EXPECT_EQ(p2->streams.at(0x103).es_class, ES_VIDEO);
    // ffmpeg's AC-3 descriptor names no component type: the stream is not recognised as audio.
    const PmtEsPayload& ac3 = p2->streams.at(0x104);
    EXPECT_EQ(ac3.es_class, ES_OTHER);
    EXPECT_EQ(ac3.attributes.count(AC3_TYPE), 0u);
    EXPECT_EQ(ac3.attributes.at(FORMAT_IDENTIFIER).get<int>(), 0x41432D33);
    EXPECT_EQ(ac3.attributes.at(ISO_639_LANGUAGE_CODE).get<std::string>(), "fra");

    auto hd = decodeAs<PMT>(vectors()[1].pmts[0].second);
    EXPECT_EQ(hd->streams.at(0x300).es_class, ES_VIDEO);
    EXPECT_EQ(hd->streams.at(0x301).es_class, ES_AUDIO);
}

TEST_F(FfmpegVectors, ReencodedTablesDecodeToTheSameContent) {
    for (const Vector& v : vectors()) {
        auto pat = decodeAs<PAT>(v.pat);
        SectionData out;
        CodecFactory::getInstance().codecs.at(0x00)->encodeSection(pat.get(), &out);
        out.appendCrc32();
        auto pat2 = decodeAs<PAT>(Bytes(out.bytes, out.bytes + out.length));
        EXPECT_EQ(pat2->payload.programs, pat->payload.programs) << v.name;

        for (const auto& entry : v.pmts) {
            auto pmt = decodeAs<PMT>(entry.second);
            SectionData pmt_out;
            pmt_out.version_number = pmt->version;
            CodecFactory::getInstance().codecs.at(0x02)->encodeSection(pmt.get(), &pmt_out);
            pmt_out.appendCrc32();
            // A single stream keeps the whole section byte for byte.
            if (pmt->streams.size() == 1) {
                EXPECT_EQ(Bytes(pmt_out.bytes, pmt_out.bytes + pmt_out.length), entry.second) << v.name;
            }
            auto pmt2 = decodeAs<PMT>(Bytes(pmt_out.bytes, pmt_out.bytes + pmt_out.length));
            EXPECT_EQ(pmt2->pcr_pid, pmt->pcr_pid);
            EXPECT_EQ(pmt2->program_info, pmt->program_info);
            ASSERT_EQ(pmt2->streams.size(), pmt->streams.size());
            for (const auto& [pid, es] : pmt->streams) {
                EXPECT_EQ(pmt2->streams.at(pid).raw, es.raw) << v.name;
                EXPECT_EQ(pmt2->streams.at(pid).attributes, es.attributes) << v.name;
            }
        }

        auto sdt = decodeAs<SDT>(v.sdt);
        SectionData sdt_out;
        CodecFactory::getInstance().codecs.at(0x42)->encodeSection(sdt.get(), &sdt_out);
        sdt_out.appendCrc32();
        auto sdt2 = decodeAs<SDT>(Bytes(sdt_out.bytes, sdt_out.bytes + sdt_out.length));
        ASSERT_EQ(sdt2->payload.services.size(), sdt->payload.services.size());
        for (const auto& [id, service] : sdt->payload.services) {
            const AttributeMap& a = sdt2->payload.services.at(id).attributes;
            // Names are sent with at most 30 bytes.
            for (const std::string& name : {SERVICE_NAME, PROVIDER_NAME}) {
                EXPECT_EQ(a.at(name).get<std::string>(),
                          service.attributes.at(name).get<std::string>().substr(0, 30))
                    << v.name;
            }
            EXPECT_EQ(a.at(SERVICE_TYPE).get<int>(), 1) << v.name;
        }
    }
}

// The TS packets ffmpeg sent the six-packet SDT in, through the assembler into the demultiplexer.
TEST_F(FfmpegVectors, MultiPacketSdtIsAssembledFromFfmpegsPackets) {
    InputMux mux(3);
    PsisiParser pat_parser(0, &mux);
    int cc = 0;
    for (const Bytes& b : psisi_test::packetise(vectors()[2].pat, 0, cc)) {
        TsPacket p;
        p.data = const_cast<unsigned char*>(b.data());
        pat_parser.input(&p);
    }
    ASSERT_EQ(mux.pats.size(), 1u);

    const unsigned char* packets = fv::many_services_sdt_packets;
    const size_t count = sizeof(fv::many_services_sdt_packets) / 188;
    ASSERT_GT(count, 2u);
    PsisiParser parser(0x11, &mux);
    for (size_t i = 0; i < count; ++i) {
        Bytes b(packets + i * 188, packets + (i + 1) * 188);
        TsPacket p;
        p.data = b.data();
        parser.input(&p);
    }
    ASSERT_EQ(mux.sdts.size(), 1u);
    const SdtPayload& sdt = mux.sdts[0];
    EXPECT_EQ(sdt.services.size(), 12u);
    for (const fv::ProbedProgram& p : vectors()[2].programs) {
        EXPECT_EQ(sdt.services.at(p.program_number).attributes.at(SERVICE_NAME).get<std::string>(),
                  p.service_name);
    }
}

}  // namespace

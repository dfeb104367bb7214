#include "dvb/psisi/pmtcodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "dvb/psisi/pmt.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"
#include "utils.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

std::unique_ptr<PMT> decodePmt(const Bytes& section) {
    SectionData sd = psisi_test::sectionData(section);
    std::unique_ptr<Section> s = PmtCodec().decodeSection(&sd);
    return std::unique_ptr<PMT>(static_cast<PMT*>(s.release()));
}

// PCR PID, program_info and stream entries after the long header.
Bytes pmtBody(int pcr_pid, const Bytes& program_info, const std::vector<Bytes>& entries) {
    Bytes b = {static_cast<unsigned char>(0xE0 | (pcr_pid >> 8)), static_cast<unsigned char>(pcr_pid),
               static_cast<unsigned char>(0xF0 | (program_info.size() >> 8)),
               static_cast<unsigned char>(program_info.size())};
    psisi_test::append(b, program_info);
    for (const Bytes& e : entries) {
        psisi_test::append(b, e);
    }
    return b;
}

Bytes entry(int stream_type, int pid, const Bytes& descriptors) {
    Bytes e = {static_cast<unsigned char>(stream_type), static_cast<unsigned char>(0xE0 | (pid >> 8)),
               static_cast<unsigned char>(pid), static_cast<unsigned char>(0xF0 | (descriptors.size() >> 8)),
               static_cast<unsigned char>(descriptors.size())};
    psisi_test::append(e, descriptors);
    return e;
}

const Bytes SUBTITLING = {0x59, 0x08, 'd', 'e', 'u', 0x10, 0x00, 0x01, 0x00, 0x01};
const Bytes TELETEXT = {0x56, 0x05, 'd', 'e', 'u', 0x09, 0x00};
const Bytes AC3_STEREO = {0x6A, 0x02, 0x80, 0x42};
const Bytes AC3_PLAIN = {0x6A, 0x01, 0x00};

TEST(PmtCodec, StreamTypesAndClasses) {
    struct Case {
        int stream_type;
        Bytes descriptors;
        std::string text;
        EsClass es_class;
    };
    const std::string reserved = " - Rec. ITU-T H.222.0 | ISO/IEC 13818-1 Reserved";
    const Case cases[] = {
        {0x01, {}, "0x01 - ISO/IEC 11172-2 Video", ES_VIDEO},
        {0x02, {}, "0x02 - " + pmt_stream_type_text.at(0x02), ES_VIDEO},
        {0x1B, {}, "0x1B - " + pmt_stream_type_text.at(0x1B), ES_VIDEO},
        {0x42, {}, "0x42" + reserved, ES_VIDEO},
        {0xEA, {}, "0xEA - User Private", ES_VIDEO},
        {0x03, {}, "0x03 - ISO/IEC 11172-3 Audio", ES_AUDIO},
        {0x04, {}, "0x04 - ISO/IEC 13818-3 Audio", ES_AUDIO},
        {0x0F, {}, "0x0F - ISO/IEC 13818-7 Audio with ADTS transport syntax", ES_AUDIO},
        {0x11, {}, "0x11 - " + pmt_stream_type_text.at(0x11), ES_AUDIO},
        {0x81, {}, "0x81 - User Private", ES_AUDIO},
        {0x86, {}, "0x86 - User Private", ES_OTHER},
        {0x24, {}, "0x24" + reserved, ES_OTHER},
        {0x7E, {}, "0x7E" + reserved, ES_OTHER},
        {0x7F, {}, "0x7F - IPMP stream", ES_OTHER},
        {0x00, {}, "0x00 - ITU-T | ISO/IEC Reserved", ES_OTHER},
        {0x06, {}, "0x06 - " + pmt_stream_type_text.at(0x06), ES_OTHER},
        {0x06, SUBTITLING, "", ES_SUBTITLE},
        {0x06, TELETEXT, "", ES_TELETEXT},
        {0x06,
         [] {
             Bytes b = TELETEXT;
             psisi_test::append(b, SUBTITLING);
             return b;
         }(),
         "", ES_SUBTITLE},
        {0x06,
         [] {
             Bytes b = SUBTITLING;
             psisi_test::append(b, AC3_STEREO);
             return b;
         }(),
         "", ES_AUDIO},
        {0x06, AC3_PLAIN, "", ES_OTHER},
    };
    for (const Case& c : cases) {
        auto pmt = decodePmt(psisi_test::longSection(
            0x02, 1, 0, pmtBody(0x100, {}, {entry(c.stream_type, 0x101, c.descriptors)})));
        ASSERT_EQ(pmt->streams.count(0x101), 1u);
        const PmtEsPayload& es = pmt->streams.at(0x101);
        EXPECT_EQ(es.stream_type, c.stream_type);
        EXPECT_EQ(es.es_class, c.es_class) << std::hex << c.stream_type;
        if (!c.text.empty()) {
            EXPECT_EQ(es.attributes.at(PMT_STREAM_TYPE).get<std::string>(), c.text);
        }
    }
    EXPECT_EQ(pmt_stream_type_text.size(), 37u);
    EXPECT_EQ(pmt_stream_type_description.size(), 6u);
}

TEST(PmtCodec, DecodesFieldsDescriptorsAndRawEntries) {
    const Bytes max_rate = {0x0E, 0x03, 0xC0, 0x00, 0x01};
    const Bytes ca = {0x09, 0x04, 0x0B, 0x00, 0xE1, 0x23};
    const Bytes lang = {0x0A, 0x04, 'e', 'n', 'g', 0x00};
    const Bytes video = entry(0x02, 0x100, {0x02, 0x01, 0x18});
    Bytes audio_descriptors = ca;
    psisi_test::append(audio_descriptors, lang);
    const Bytes audio = entry(0x04, 0x101, audio_descriptors);
    Bytes program_info = max_rate;
    psisi_test::append(program_info, lang);

    LogCapture log(google::GLOG_WARNING);
    auto pmt =
        decodePmt(psisi_test::longSection(0x02, 0x0042, 7, pmtBody(0x1FF, program_info, {video, audio})));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(pmt->getSectionType(), ST_PMT);
    EXPECT_EQ(pmt->version, 7);
    EXPECT_EQ(pmt->program_number, 0x42);
    EXPECT_EQ(pmt->pcr_pid, 0x1FF);
    // Only the maximum bitrate reaches the program's attributes.
    EXPECT_EQ(pmt->attributes, (AttributeMap{{MAXIMUM_BITRATE, 400}}));
    EXPECT_EQ(pmt->program_info, program_info);
    ASSERT_EQ(pmt->streams.size(), 2u);
    EXPECT_EQ(pmt->streams.at(0x100).attributes.at(FRAME_RATE).get<std::string>(), "25");
    EXPECT_EQ(pmt->streams.at(0x100).raw, video);
    const PmtEsPayload& a = pmt->streams.at(0x101);
    EXPECT_EQ(a.pid, 0x101);
    EXPECT_EQ(a.attributes.count(CA_SYSTEM_ID), 0u);
    EXPECT_EQ(a.attributes.count(CA_PID), 0u);
    EXPECT_EQ(a.attributes.at(ISO_639_LANGUAGE_CODE).get<std::string>(), "eng");
    EXPECT_EQ(a.raw, audio);

    // Re-encoding keeps program_info and every entry, CA descriptor included.
    SectionData out;
    out.version_number = 12;
    const unsigned n = PmtCodec().encodeSection(pmt.get(), &out);
    EXPECT_EQ(n, 12 + program_info.size() + video.size() + audio.size());
    out.appendCrc32();
    auto back = decodePmt(Bytes(out.bytes, out.bytes + out.length));
    EXPECT_EQ(back->version, 12);
    EXPECT_EQ(back->program_number, 0x42);
    EXPECT_EQ(back->pcr_pid, 0x1FF);
    EXPECT_EQ(back->program_info, program_info);
    ASSERT_EQ(back->streams.size(), 2u);
    for (const auto& [pid, es] : pmt->streams) {
        EXPECT_EQ(back->streams.at(pid).raw, es.raw);
        EXPECT_EQ(back->streams.at(pid).attributes, es.attributes);
        EXPECT_EQ(back->streams.at(pid).es_class, es.es_class);
    }
}

TEST(PmtCodec, PidListedTwiceMergesIntoOneRecord) {
    const Bytes first = entry(0x06, 0x200, {0x0A, 0x04, 'e', 'n', 'g', 0x00});
    const Bytes second = entry(0x06, 0x200, {0x0A, 0x04, 'd', 'e', 'u', 0x00, 0x6A, 0x02, 0x80, 0x42});
    auto pmt = decodePmt(psisi_test::longSection(0x02, 1, 0, pmtBody(0x200, {}, {first, second})));
    ASSERT_EQ(pmt->streams.size(), 1u);
    const PmtEsPayload& es = pmt->streams.at(0x200);
    EXPECT_EQ(es.raw, second);
    EXPECT_EQ(es.attributes.at(ISO_639_LANGUAGE_CODE).get<std::string>(), "eng");
    EXPECT_EQ(es.es_class, ES_AUDIO);
}

TEST(PmtCodec, LengthsThatDoNotFit) {
    // 16 bytes: nothing but the header, PCR PID and CRC.
    {
        LogCapture log(google::GLOG_WARNING);
        auto pmt = decodePmt(psisi_test::longSection(0x02, 1, 0, pmtBody(0x100, {}, {})));
        EXPECT_TRUE(pmt->streams.empty());
        EXPECT_TRUE(log.lines().empty());
    }
    // program_info_length beyond the section.
    {
        Bytes body = pmtBody(0x100, {0x0E, 0x03, 0x00, 0x00, 0x01}, {});
        body[3] = 0x09;
        SectionData sd = psisi_test::sectionData(psisi_test::longSection(0x02, 1, 0, body));
        EXPECT_THROW(PmtCodec().decodeSection(&sd), std::length_error);
    }
    // The last entry's ES_info_length runs past the CRC: the entry keeps what is there.
    {
        const Bytes video = entry(0x02, 0x100, {});
        Bytes audio = entry(0x03, 0x101, {0x0A, 0x04, 'e', 'n', 'g', 0x00});
        audio[4] = 0x20;
        LogCapture log(google::GLOG_WARNING);
        auto pmt = decodePmt(psisi_test::longSection(0x02, 1, 0, pmtBody(0x100, {}, {video, audio})));
        EXPECT_EQ(log.count("remaining=-26"), 1);
        ASSERT_EQ(pmt->streams.size(), 2u);
        const PmtEsPayload& a = pmt->streams.at(0x101);
        EXPECT_EQ(a.attributes.at(ISO_639_LANGUAGE_CODE).get<std::string>(), "eng");
        EXPECT_EQ(a.raw, entry(0x03, 0x101, {0x0A, 0x04, 'e', 'n', 'g', 0x00}));
    }
    // Two bytes that cannot form an entry.
    {
        LogCapture log(google::GLOG_WARNING);
        auto pmt = decodePmt(
            psisi_test::longSection(0x02, 1, 0, pmtBody(0x100, {}, {entry(0x02, 0x100, {}), {0x03, 0xE1}})));
        EXPECT_EQ(pmt->streams.size(), 1u);
        EXPECT_EQ(log.count("remaining=2"), 1);
    }
}

TEST(PmtCodec, EncodingLimitAndDump) {
    PMT pmt(ST_PMT);
    pmt.program_number = 5;
    pmt.pcr_pid = 0x100;
    pmt.program_info.assign(1008, 0x00);
    SectionData sd;
    EXPECT_EQ(PmtCodec().encodeSection(&pmt, &sd), 12u + 1008);
    pmt.program_info.push_back(0);
    EXPECT_THROW(PmtCodec().encodeSection(&pmt, &sd), std::length_error);

    PMT small(ST_PMT);
    small.program_number = 1;
    small.pcr_pid = 256;
    small.attributes = {{MAXIMUM_BITRATE, 400}};
    small.streams[256].attributes = {{PMT_STREAM_TYPE, "0x02 - x"}};
    const std::string rule = "+" + std::string(44, '-') + "\n";
    EXPECT_EQ(small.toFancyString(), rule + "| program 1 PCR PID 256\n| +- maximum_bitrate : 400\n+" +
                                         std::string(27, '-') +
                                         "\n| ES PID 256\n| +- pmt_stream_type : 0x02 - x\n|\n" + rule);
}

}  // namespace

#include "dvb/psisi/patcodec.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "dvb/psisi/codecfactory.h"
#include "dvb/psisi/pat.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

std::unique_ptr<PAT> decodePat(const Bytes& section) {
    SectionData sd = psisi_test::sectionData(section);
    std::unique_ptr<Section> s = PatCodec().decodeSection(&sd);
    return std::unique_ptr<PAT>(static_cast<PAT*>(s.release()));
}

TEST(CodecFactory, HoldsExactlyTheFourTableCodecs) {
    auto& codecs = CodecFactory::getInstance().codecs;
    EXPECT_EQ(codecs.size(), 4u);
    EXPECT_NE(dynamic_cast<PatCodec*>(codecs.at(0x00)), nullptr);
    EXPECT_NE(codecs.at(0x02), nullptr);
    EXPECT_NE(codecs.at(0x40), nullptr);
    EXPECT_NE(codecs.at(0x42), nullptr);
    EXPECT_THROW(codecs.at(0x70), std::out_of_range);
    EXPECT_THROW(codecs.at(0x73), std::out_of_range);
    EXPECT_EQ(codecs.at(0x00)->transmitIntervalUs(), 500000u);
    EXPECT_EQ(codecs.at(0x02)->transmitIntervalUs(), 500000u);
    EXPECT_EQ(codecs.at(0x42)->transmitIntervalUs(), 500000u);
    EXPECT_EQ(codecs.at(0x40)->transmitIntervalUs(), 1000000u);
    EXPECT_EQ(&CodecFactory::getInstance(), &CodecFactory::getInstance());
}

TEST(PatCodec, Decoding) {
    LogCapture log(google::GLOG_WARNING);
    auto empty = decodePat(psisi_test::longSection(0x00, 0x1234, 3, {}));
    EXPECT_EQ(empty->payload.version, 3);
    EXPECT_EQ(empty->payload.transport_stream_id, 0x1234);
    EXPECT_EQ(empty->payload.nid_pid, -1);
    EXPECT_TRUE(empty->payload.programs.empty());
    EXPECT_EQ(empty->getSectionType(), ST_PAT);
    EXPECT_TRUE(log.lines().empty());

    auto pat =
        decodePat(psisi_test::longSection(0x00, 1, 0, {0x00, 0x00, 0xe0, 0x10, 0x00, 0x01, 0xe1, 0x00}));
    EXPECT_EQ(pat->payload.nid_pid, 16);
    EXPECT_EQ(pat->payload.programs, (std::unordered_map<int, int>{{1, 256}}));

    // The first PID of a program wins; a later network PID replaces an earlier one.
    auto twice = decodePat(psisi_test::longSection(
        0x00, 1, 0,
        {0x00, 0x05, 0xe0, 0x20, 0x00, 0x00, 0xe0, 0x10, 0x00, 0x05, 0xe0, 0x30, 0x00, 0x00, 0xe0, 0x11}));
    EXPECT_EQ(twice->payload.programs, (std::unordered_map<int, int>{{5, 0x20}}));
    EXPECT_EQ(twice->payload.nid_pid, 0x11);
    EXPECT_TRUE(log.lines().empty());

    auto odd = decodePat(psisi_test::longSection(0x00, 1, 0, {0x00, 0x01, 0xe1, 0x00, 0x00, 0x02}));
    EXPECT_EQ(odd->payload.programs.size(), 1u);
    EXPECT_EQ(log.count("remaining=2"), 1);
}

TEST(PatCodec, RefusedSections) {
    Bytes short_pat = psisi_test::longSection(0x00, 1, 0, {});
    short_pat.pop_back();
    SectionData sd = psisi_test::sectionData(short_pat);
    try {
        PatCodec().decodeSection(&sd);
        FAIL();
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Too short section data");
    }
    SectionData pmt = psisi_test::sectionData(psisi_test::longSection(0x02, 1, 0, {0xe1, 0x00, 0xf0, 0x00}));
    try {
        PatCodec().decodeSection(&pmt);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Bad table_id");
    }
}

TEST(PatCodec, EncodingWritesTheFixedTransportStreamIdAndNoNetworkPid) {
    psisi_test::initCrc();
    PAT pat(ST_PAT);
    pat.payload.transport_stream_id = 0x1234;
    pat.payload.nid_pid = 16;
    pat.payload.programs = {{1, 256}};
    SectionData sd;
    sd.version_number = 9;
    ASSERT_EQ(PatCodec().encodeSection(&pat, &sd), 12u);
    EXPECT_EQ(sd.length, 12u);
    EXPECT_EQ(Bytes(sd.bytes, sd.bytes + 12),
              (Bytes{0x00, 0xB0, 0x0D, 0x00, 0x02, 0xC1 | (9 << 1), 0x00, 0x00, 0x00, 0x01, 0xE1, 0x00}));
    sd.appendCrc32();
    auto back = decodePat(Bytes(sd.bytes, sd.bytes + sd.length));
    EXPECT_EQ(back->payload.version, 9);
    EXPECT_EQ(back->payload.transport_stream_id, 2);
    EXPECT_EQ(back->payload.nid_pid, -1);
    EXPECT_EQ(back->payload.programs, pat.payload.programs);
}

TEST(PatCodec, EncodingLimit) {
    PAT pat(ST_PAT);
    for (int i = 1; i <= 253; ++i) {
        pat.payload.programs[i] = 0x100 + i;
    }
    SectionData sd;
    EXPECT_EQ(PatCodec().encodeSection(&pat, &sd), 8u + 4 * 253);
    EXPECT_EQ(((sd.bytes[1] & 0x0F) << 8) | sd.bytes[2], 1021);
    pat.payload.programs[254] = 0x1FE;
    SectionData untouched;
    try {
        PatCodec().encodeSection(&pat, &untouched);
        FAIL();
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "section_length to big");
    }
    EXPECT_EQ(untouched.length, 0u);
    EXPECT_EQ(untouched.bytes[0], 0);
}

TEST(PatCodec, TextDump) {
    PAT pat(ST_PAT);
    pat.payload.transport_stream_id = 2;
    pat.payload.programs = {{1, 256}};
    const std::string rule = "+" + std::string(49, '-') + "\n";
    EXPECT_EQ(pat.toFancyString(), rule + "| transport_stream_id 2\n| +- nid_pid : -1\n" + rule +
                                       "| program 1      -> pmt pid 256 \n" + rule);
}

}  // namespace

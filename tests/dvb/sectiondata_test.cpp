#include "dvb/psisi/sectiondata.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dvb/psisi/psisi_utils.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;

class SectionDataTest : public ::testing::Test {
  protected:
    void SetUp() override { psisi_test::initCrc(); }
};

TEST_F(SectionDataTest, Crc32IsTheMpeg2Crc) {
    const unsigned char check[] = "123456789";
    EXPECT_EQ(psisi_utils::crc32(check, 9), 0x0376E6E7u);
    EXPECT_EQ(psisi_utils::crc32(check, 0), 0xFFFFFFFFu);
    // A section cut from an ffmpeg stream: its own CRC makes the total 0, one flipped bit does not.
    Bytes pat = {0x00, 0xb0, 0x11, 0x12, 0x34, 0xc1, 0x00, 0x00, 0x00, 0x01,
                 0xf0, 0x00, 0x00, 0x02, 0xf0, 0x01, 0xda, 0x5f, 0x34, 0x14};
    EXPECT_EQ(psisi_utils::crc32(pat.data(), static_cast<unsigned>(pat.size())), 0u);
    pat[9] ^= 0x04;
    EXPECT_NE(psisi_utils::crc32(pat.data(), static_cast<unsigned>(pat.size())), 0u);
}

TEST_F(SectionDataTest, FreshBufferIsEmpty) {
    SectionData sd;
    EXPECT_EQ(sd.expected_length, 0u);
    EXPECT_EQ(sd.length, 0u);
    EXPECT_EQ(sd.output_index, 0u);
    EXPECT_EQ(sd.table_id, 0u);
    EXPECT_FALSE(sd.complete());
}

TEST_F(SectionDataTest, HeaderDecoding) {
    struct Case {
        const char* what;
        Bytes data;
        unsigned result;
        unsigned expected_length;
    };
    const Case cases[] = {
        {"one byte", {0x00}, 0, 0},
        {"long form needs 8 bytes", {0x02, 0xb0, 0x20, 0x00, 0x01, 0xc3, 0x00}, 0, 0},
        {"long form", {0x02, 0xb0, 0x20, 0x00, 0x01, 0xc3, 0x01, 0x02}, 1, 0x23},
        {"short form needs 3 bytes", {0x70, 0x70}, 0, 0},
        {"short form", {0x70, 0x70, 0x05}, 1, 8},
        {"largest section, 4096 bytes", {0x42, 0xbf, 0xfd, 0x00, 0x01, 0xc1, 0x00, 0x00}, 1, 4096},
        {"section_length 4094 refused", {0x42, 0xbf, 0xfe, 0x00, 0x01, 0xc1, 0x00, 0x00}, 0, 0},
        {"section_length 4095 refused", {0x42, 0xbf, 0xff, 0x00, 0x01, 0xc1, 0x00, 0x00}, 0, 0},
    };
    for (const Case& c : cases) {
        SectionData sd;
        EXPECT_EQ(sd.decodeHeader(c.data.data(), static_cast<unsigned>(c.data.size())), c.result) << c.what;
        EXPECT_EQ(sd.expected_length, c.expected_length) << c.what;
        EXPECT_EQ(sd.length, 0u) << c.what;
    }
    SectionData sd;
    const Bytes header = {0x02, 0xb0, 0x20, 0x12, 0x34, 0xc3 | (7 << 1), 0x01, 0x02};
    ASSERT_EQ(sd.decodeHeader(header.data(), 8), 1u);
    EXPECT_EQ(sd.section_syntax_indicator, 1u);
    EXPECT_EQ(sd.table_id, 0x02u);
    EXPECT_EQ(sd.section_length, 0x20u);
    EXPECT_EQ(sd.table_id_extension, 0x1234u);
    EXPECT_EQ(sd.version_number, 7u);
    EXPECT_EQ(sd.current_next_indicator, 1u);
    EXPECT_EQ(sd.section_number, 1u);
    EXPECT_EQ(sd.last_section_number, 2u);
}

TEST_F(SectionDataTest, AppendStopsAtTheEndOfTheSection) {
    SectionData sd;
    const Bytes pre = {1, 2, 3};
    EXPECT_FALSE(sd.append(pre.data(), 3));
    EXPECT_EQ(sd.length, 0u);

    const Bytes section = psisi_test::longSection(0x00, 1, 0, {0x00, 0x01, 0xe1, 0x00});
    Bytes stream = section;
    stream.insert(stream.end(), 20, 0xFF);
    ASSERT_EQ(sd.decodeHeader(stream.data(), static_cast<unsigned>(stream.size())), 1u);
    EXPECT_FALSE(sd.append(stream.data(), 5));
    EXPECT_TRUE(sd.append(stream.data() + 5, static_cast<unsigned>(stream.size() - 5)));
    EXPECT_EQ(sd.length, section.size());
    EXPECT_EQ(Bytes(sd.bytes, sd.bytes + sd.length), section);
    EXPECT_TRUE(sd.checkCrc32());
    sd.bytes[8] ^= 1;
    EXPECT_FALSE(sd.checkCrc32());
}

TEST_F(SectionDataTest, AppendCrcNeedsFourBytesOfRoom) {
    SectionData sd;
    const Bytes body = {0x00, 0xb0, 0x0d, 0x00, 0x02, 0xc1, 0x00, 0x00, 0x00, 0x01, 0xe1, 0x00};
    memcpy(sd.bytes, body.data(), body.size());
    sd.length = static_cast<uint32_t>(body.size());
    sd.appendCrc32();
    EXPECT_EQ(sd.length, 16u);
    EXPECT_TRUE(sd.checkCrc32());

    SectionData full;
    full.length = SectionData::MAX_SIZE - 3;
    full.appendCrc32();
    EXPECT_EQ(full.length, SectionData::MAX_SIZE - 3);
}

TEST_F(SectionDataTest, OutputIndexWrapsAtTheEnd) {
    SectionData sd;
    sd.length = 400;
    EXPECT_EQ(sd.remainingOutput(), 400u);
    sd.advanceOutputIdx(183);
    EXPECT_EQ(sd.remainingOutput(), 217u);
    sd.advanceOutputIdx(184);
    EXPECT_EQ(sd.output_index, 367u);
    sd.advanceOutputIdx(33);
    EXPECT_EQ(sd.output_index, 0u);
}

TEST_F(SectionDataTest, EqualityComparesTheHeaderOnly) {
    const Bytes a = psisi_test::longSection(0x02, 5, 3, {0xe1, 0x00, 0xf0, 0x00});
    Bytes b = a;
    b[9] = 0x01;  // other PCR PID, same header
    SectionData x = psisi_test::sectionData(a), y = psisi_test::sectionData(b);
    EXPECT_TRUE(x == y);
    struct Change {
        const char* what;
        uint32_t SectionData::*field;
    };
    const Change changes[] = {
        {"table_id", &SectionData::table_id},
        {"table_id_extension", &SectionData::table_id_extension},
        {"section_number", &SectionData::section_number},
        {"version_number", &SectionData::version_number},
        {"current_next_indicator", &SectionData::current_next_indicator},
    };
    for (const Change& c : changes) {
        SectionData z = psisi_test::sectionData(a);
        z.*(c.field) += 1;
        EXPECT_TRUE(x != z) << c.what;
    }
}

}  // namespace

#include "dvb/psisi/tdttotcodec.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <stdexcept>

#include "dvb/psisi/tdttot.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;

// The codec names no repetition interval; a test gives it one to have an instance.
struct TestTdtTotCodec : TdtTotCodec {
    uint64_t transmitIntervalUs() const override { return 0; }
};

std::unique_ptr<TdtTot> decode(const Bytes& b) {
    SectionData sd = psisi_test::sectionData(b);
    std::unique_ptr<Section> s = TestTdtTotCodec().decodeSection(&sd);
    return std::unique_ptr<TdtTot>(static_cast<TdtTot*>(s.release()));
}

TEST(TdtTotCodec, DecodesTdtAndTot) {
    struct timespec before;
    clock_gettime(CLOCK_REALTIME, &before);
    auto tdt = decode({0x70, 0x70, 0x05, 0xC0, 0x79, 0x12, 0x45, 0x00});
    EXPECT_EQ(tdt->getSectionType(), ST_TDT_TOT);
    EXPECT_EQ(tdt->utc.tm_year, 1993);
    EXPECT_EQ(tdt->utc.tm_mon, 10);
    EXPECT_EQ(tdt->utc.tm_mday, 13);
    EXPECT_EQ(tdt->utc.tm_hour, 12);
    EXPECT_EQ(tdt->utc.tm_min, 45);
    EXPECT_EQ(tdt->utc.tm_sec, 0);
    EXPECT_EQ(tdt->tsToEpoch(), 750516300);
    EXPECT_GE(tdt->sysToEpoch(), before.tv_sec);
    const std::string rule = "+" + std::string(55, '-') + "\n";
    EXPECT_EQ(tdt->toFancyString(), rule + "|  UTC time is 13.10.1993 12:45:00\n" + rule);

    // A TOT (with its descriptor loop and CRC) is read the same way.
    auto tot = decode({0x73, 0x70, 0x0F, 0xEA, 0x27, 0x23, 0x59, 0x59, 0xF0, 0x00, 0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(tot->utc.tm_year, 2022);
    EXPECT_EQ(tot->utc.tm_hour, 23);
    EXPECT_EQ(tot->utc.tm_sec, 59);
}

TEST(TdtTotCodec, Refusals) {
    EXPECT_THROW(decode({0x72, 0x70, 0x05, 0xC0, 0x79, 0x12, 0x45, 0x00}), std::invalid_argument);
    EXPECT_THROW(decode({0x70, 0x70}), std::length_error);
    // Fewer bytes than the time field needs: nothing is read from beyond them.
    try {
        decode({0x70, 0x70, 0x05, 0xC0, 0x79, 0x12});
        FAIL();
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Too short section data");
    }
    TdtTot t(ST_TDT_TOT);
    SectionData out;
    EXPECT_EQ(TestTdtTotCodec().encodeSection(&t, &out), 0u);
}

}  // namespace

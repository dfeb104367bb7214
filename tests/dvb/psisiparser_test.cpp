#include "dvb/psisiparser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dvb/inputmux.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

Bytes pat(int version, const std::vector<std::pair<int, int>>& programs, int tsid = 1) {
    Bytes body;
    for (auto [program, pid] : programs) {
        psisi_test::append(body,
                           {static_cast<unsigned char>(program >> 8), static_cast<unsigned char>(program),
                            static_cast<unsigned char>(0xE0 | (pid >> 8)), static_cast<unsigned char>(pid)});
    }
    return psisi_test::longSection(0x00, tsid, version, body);
}

// A packet of the PID with the given header flags and payload, padded with 0xFF.
Bytes packet(int pid, int cc, bool start, const Bytes& payload) {
    Bytes p = {0x47, static_cast<unsigned char>((start ? 0x40 : 0) | (pid >> 8)),
               static_cast<unsigned char>(pid), static_cast<unsigned char>(0x10 | cc)};
    psisi_test::append(p, payload);
    p.resize(188, 0xFF);
    return p;
}

class PsisiParserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        psisi_test::initCrc();
        saved_v_ = FLAGS_v;
        FLAGS_v = 1;
    }
    void TearDown() override { FLAGS_v = saved_v_; }

    void feed(PsisiParser& p, Bytes bytes) {
        TsPacket packet;
        packet.sid = mux.sid;
        packet.data = bytes.data();
        p.getInputDelegate()(&packet);
    }
    // Feeds every packet of the section, continuity counters counting on from cc.
    void feedSection(PsisiParser& p, const Bytes& section, int& cc) {
        for (const Bytes& b : psisi_test::packetise(section, p.pid, cc)) {
            feed(p, b);
            cc = (cc + 1) & 0x0F;
        }
    }

    InputMux mux{5};
    int saved_v_ = 0;
};

TEST_F(PsisiParserTest, RepetitionIsDeliveredAgainWithoutDecoding) {
    PsisiParser parser(0, &mux);
    EXPECT_EQ(parser.sid, 5u);
    EXPECT_EQ(parser.last_cc, -1);
    int cc = 0;
    feedSection(parser, pat(0, {{1, 0x100}}), cc);
    ASSERT_EQ(mux.pats.size(), 1u);
    EXPECT_EQ(mux.pats[0].version, 0);
    const Section* decoded = parser.last.get();
    ASSERT_NE(decoded, nullptr);

    // The demultiplexer forgets the version; the repetition hands it the same table again.
    mux.pats[0].version = -1;
    feedSection(parser, pat(0, {{1, 0x100}}), cc);
    EXPECT_EQ(parser.last.get(), decoded);
    EXPECT_EQ(mux.pats[0].version, 0);

    feedSection(parser, pat(1, {{1, 0x100}, {2, 0x200}}), cc);
    EXPECT_NE(parser.last.get(), decoded);
    EXPECT_EQ(mux.pats[0].version, 1);
    EXPECT_EQ(mux.pats[0].programs.size(), 2u);

    // After reset the same section counts as new.
    decoded = parser.last.get();
    parser.reset();
    EXPECT_EQ(parser.last, nullptr);
    EXPECT_EQ(parser.previous, nullptr);
    feedSection(parser, pat(1, {{1, 0x100}, {2, 0x200}}), cc);
    ASSERT_NE(parser.last, nullptr);
    EXPECT_EQ(parser.last->version_number, 1);
}

// SDT of exactly 4096 bytes whose services are named "S<n>" followed by filler.
Bytes largestSdt(int tsid, int* services) {
    Bytes body = {0x00, 0x01, 0xFF};
    size_t left = 4096 - 8 - 3 - 4;
    int id = 1;
    while (left > 0) {
        const size_t n = left >= 210 + 10 ? 200 : left - 10;
        std::string name = "S" + std::to_string(id);
        name.resize(n, '.');
        Bytes d = {static_cast<unsigned char>(id >> 8),
                   static_cast<unsigned char>(id),
                   0xFC,
                   0x80,
                   static_cast<unsigned char>(5 + n),
                   0x48,
                   static_cast<unsigned char>(3 + n),
                   0x01,
                   0x00,
                   static_cast<unsigned char>(n)};
        psisi_test::append(d, Bytes(name.begin(), name.end()));
        psisi_test::append(body, d);
        left -= d.size();
        ++id;
    }
    *services = id - 1;
    return psisi_test::longSection(0x42, tsid, 0, body);
}

TEST_F(PsisiParserTest, LargestSectionIsAssembledAndLargerHeadersAreRefused) {
    PsisiParser pat_parser(0, &mux);
    int cc0 = 0;
    feedSection(pat_parser, pat(0, {{1, 0x100}}, 0x0042), cc0);

    PsisiParser parser(0x11, &mux);
    int services = 0;
    const Bytes sdt = largestSdt(0x0042, &services);
    ASSERT_EQ(sdt.size(), 4096u);
    int cc = 0;
    feedSection(parser, sdt, cc);
    ASSERT_EQ(mux.sdts.size(), 1u);
    EXPECT_EQ(static_cast<int>(mux.sdts[0].services.size()), services);
    EXPECT_EQ(mux.sdts[0].services.at(services).attributes.at(SERVICE_NAME).get<std::string>().substr(0, 3),
              "S" + std::to_string(services));

    // section_length 4094: the header is refused and nothing of it is assembled.
    Bytes too_big = sdt;
    too_big[1] = 0xBF;
    too_big[2] = 0xFE;
    too_big[5] = 0xC3;  // another version, so that it would count as new
    auto packets = psisi_test::packetise(too_big, 0x11, cc);
    const Section* before = parser.last.get();
    for (const Bytes& b : packets) {
        feed(parser, b);
    }
    EXPECT_EQ(parser.current->expected_length, 0u);
    EXPECT_EQ(parser.current->length, 0u);
    EXPECT_EQ(parser.last.get(), before);
}

TEST_F(PsisiParserTest, PointerFieldFinishesTheOldSectionBeforeTheNewOne) {
    // A NIT of 193 bytes: 183 in the first packet, 10 in the second, where a PAT starts at 15.
    Bytes network = {0xF0, 177, 0x40, 0x03, 'N', 'e', 't', 0x80, 170};
    network.resize(2 + 177, 0x00);
    psisi_test::append(network, {0xF0, 0x00});
    const Bytes nit = psisi_test::longSection(0x40, 0x3001, 2, network);
    ASSERT_EQ(nit.size(), 193u);
    const Bytes p = pat(0, {{1, 0x100}});

    PsisiParser parser(0x10, &mux);
    Bytes first = {0x00};
    psisi_test::append(first, Bytes(nit.begin(), nit.begin() + 183));
    feed(parser, packet(0x10, 0, true, first));
    EXPECT_TRUE(mux.nits.empty());

    Bytes second = {10};
    psisi_test::append(second, Bytes(nit.begin() + 183, nit.end()));
    psisi_test::append(second, p);
    const Bytes second_packet = packet(0x10, 1, true, second);
    ASSERT_EQ(second_packet[15], 0x00);  // the PAT's table_id at offset 15
    feed(parser, second_packet);
    ASSERT_EQ(mux.nits.size(), 1u);
    EXPECT_EQ(mux.nits[0].network_id, 0x3001);
    EXPECT_EQ(mux.nits[0].attributes.at(NETWORK_NAME).get<std::string>(), "Net");
    ASSERT_EQ(mux.pats.size(), 1u);
    EXPECT_EQ(mux.pats[0].programs.at(1), 0x100);
}

TEST_F(PsisiParserTest, OnlyTheFirstSectionStartingInAPacketIsAssembled) {
    PsisiParser parser(0x10, &mux);
    Bytes payload = {0x00};
    psisi_test::append(payload, psisi_test::longSection(0x40, 1, 0, {0xF0, 0x00, 0xF0, 0x00}));
    psisi_test::append(payload, pat(0, {{1, 0x100}}));
    feed(parser, packet(0x10, 0, true, payload));
    EXPECT_EQ(mux.nits.size(), 1u);
    EXPECT_TRUE(mux.pats.empty());
}

TEST_F(PsisiParserTest, BadCrcDeliversTheLastGoodTableOrNothing) {
    PsisiParser parser(0, &mux);
    Bytes broken = pat(0, {{1, 0x100}});
    broken[9] ^= 0x01;
    int cc = 0;
    LogCapture log(google::GLOG_WARNING);
    feedSection(parser, broken, cc);
    EXPECT_TRUE(mux.pats.empty());
    EXPECT_EQ(parser.last, nullptr);
    EXPECT_TRUE(log.lines().empty());

    feedSection(parser, pat(0, {{1, 0x100}}), cc);
    ASSERT_EQ(mux.pats.size(), 1u);
    // A broken section of a new version hands over the last good table.
    Bytes broken_v1 = pat(1, {{7, 0x700}});
    broken_v1.back() ^= 0xFF;
    mux.pats[0].version = -1;
    feedSection(parser, broken_v1, cc);
    EXPECT_EQ(mux.pats[0].version, 0);
    EXPECT_EQ(mux.pats[0].programs.count(7), 0u);
}

TEST_F(PsisiParserTest, ContinuityCounters) {
    PsisiParser parser(0, &mux);
    LogCapture log(google::GLOG_WARNING);
    feed(parser, packet(0, 15, true, [] {
             Bytes b = {0};
             psisi_test::append(b, pat(0, {{1, 0x100}}));
             return b;
         }()));
    EXPECT_EQ(mux.pats.at(0).version, 0);
    // 15 then 0 is in order; the same counter again is a duplicate and dropped.
    feed(parser, packet(0, 0, true, [] {
             Bytes b = {0};
             psisi_test::append(b, pat(1, {{1, 0x100}}));
             return b;
         }()));
    EXPECT_EQ(mux.pats.at(0).version, 1);
    EXPECT_TRUE(log.lines().empty());
    feed(parser, packet(0, 0, true, [] {
             Bytes b = {0};
             psisi_test::append(b, pat(2, {{1, 0x100}}));
             return b;
         }()));
    EXPECT_EQ(mux.pats.at(0).version, 1);
    EXPECT_EQ(log.count("PID 0 duplicate"), 1);
    // A gap is reported and the packet used.
    feed(parser, packet(0, 2, true, [] {
             Bytes b = {0};
             psisi_test::append(b, pat(3, {{1, 0x100}}));
             return b;
         }()));
    EXPECT_EQ(log.count("PID 0 CC discontinuity, exp 1 got 2"), 1);
    EXPECT_EQ(mux.pats.at(0).version, 3);
    EXPECT_EQ(parser.last_cc, 2);
}

TEST_F(PsisiParserTest, LostPacketInsideASectionShowsUpAsCrcFailure) {
    PsisiParser pat_parser(0, &mux);
    int cc0 = 0;
    feedSection(pat_parser, pat(0, {{1, 0x100}}, 0x0042), cc0);
    PsisiParser parser(0x11, &mux);
    int services = 0;
    auto packets = psisi_test::packetise(largestSdt(0x0042, &services), 0x11, 0);
    packets.erase(packets.begin() + 5);
    LogCapture log(google::GLOG_WARNING);
    for (const Bytes& b : packets) {
        feed(parser, b);
    }
    EXPECT_EQ(log.count("PID 17 CC discontinuity, exp 5 got 6"), 1);
    EXPECT_TRUE(mux.sdts.empty());
    EXPECT_EQ(parser.last, nullptr);
}

TEST_F(PsisiParserTest, UndecodableSectionsAreReportedAndRetried) {
    PsisiParser parser(0x20, &mux);
    LogCapture log;
    int cc = 0;
    // A bouquet association table: no codec.
    feedSection(parser, psisi_test::longSection(0x4A, 1, 0, {0xF0, 0x00, 0xF0, 0x00}), cc);
    EXPECT_EQ(log.count("SID 5 PID 32 table_id 0x4a decoding not implemented"), 1);
    // A NIT too short for its codec.
    feedSection(parser, psisi_test::longSection(0x40, 1, 0, {0xF0}), cc);
    EXPECT_EQ(log.count("SID 5 PID 32 Too short section data"), 1);
    EXPECT_EQ(parser.last, nullptr);

    // A PMT before its PAT is refused; once the PAT is there its repetition is taken.
    const Bytes pmt =
        psisi_test::longSection(0x02, 1, 0, {0xE1, 0x00, 0xF0, 0x00, 0x02, 0xE1, 0x00, 0xF0, 0x00});
    PsisiParser pmt_parser(0x100, &mux);
    int pmt_cc = 0;
    feedSection(pmt_parser, pmt, pmt_cc);
    EXPECT_EQ(log.count("SID 5 PID 256 PMT before PAT"), 1);
    EXPECT_EQ(pmt_parser.last, nullptr);
    PsisiParser pat_parser(0, &mux);
    int pat_cc = 0;
    feedSection(pat_parser, pat(0, {{1, 0x100}}), pat_cc);
    feedSection(pmt_parser, pmt, pmt_cc);
    ASSERT_NE(pmt_parser.last, nullptr);
    EXPECT_EQ(pmt_parser.last->getSectionType(), ST_PMT);
    EXPECT_EQ(log.count("PMT before PAT"), 1);
}

TEST_F(PsisiParserTest, NextTablesAndShortFormsAreNotDelivered) {
    PsisiParser parser(0, &mux);
    int cc = 0;
    feedSection(parser, psisi_test::longSection(0x00, 1, 0, {0x00, 0x01, 0xE1, 0x00}, 0, 0, 0), cc);
    EXPECT_TRUE(mux.pats.empty());
    EXPECT_EQ(parser.last, nullptr);
}

TEST_F(PsisiParserTest, PayloadLocation) {
    PsisiParser parser(0, &mux);
    const Bytes p = pat(0, {{1, 0x100}});
    // Adaptation field of 7 bytes before the pointer field.
    Bytes with_af = {0x47, 0x40, 0x00, 0x30, 7, 0x00, 0, 0, 0, 0, 0, 0, 0x00};
    psisi_test::append(with_af, p);
    with_af.resize(188, 0xFF);
    feed(parser, with_af);
    ASSERT_EQ(mux.pats.size(), 1u);

    // An adaptation field filling the packet, no payload flag, a pointer or adaptation field
    // beyond the packet: nothing is taken.
    const Bytes p1 = pat(1, {{1, 0x100}});
    Bytes full_af = {0x47, 0x40, 0x00, 0x31, 183};
    full_af.resize(188, 0xFF);
    Bytes no_payload = {0x47, 0x40, 0x00, 0x22, 0x00};
    psisi_test::append(no_payload, p1);
    no_payload.resize(188, 0xFF);
    Bytes af_beyond = {0x47, 0x40, 0x00, 0x33, 200, 0x00};
    psisi_test::append(af_beyond, p1);
    af_beyond.resize(188, 0xFF);
    Bytes pointer_beyond = {0x47, 0x40, 0x00, 0x14, 184};
    psisi_test::append(pointer_beyond, p1);
    pointer_beyond.resize(188, 0xFF);
    for (const Bytes& b : {full_af, no_payload, af_beyond, pointer_beyond}) {
        feed(parser, b);
        EXPECT_EQ(mux.pats[0].version, 0);
    }
    EXPECT_EQ(parser.last_cc, 4);

    // A header cut by the end of the packet loses the section.
    Bytes cut = {0x47, 0x40, 0x00, 0x15, 180};
    cut.resize(185, 0x00);
    psisi_test::append(cut, Bytes(p1.begin(), p1.begin() + 3));
    feed(parser, cut);
    Bytes rest = {0x47, 0x00, 0x00, 0x16};
    psisi_test::append(rest, Bytes(p1.begin() + 3, p1.end()));
    rest.resize(188, 0xFF);
    feed(parser, rest);
    EXPECT_EQ(mux.pats[0].version, 0);
    EXPECT_EQ(parser.current->expected_length, 0u);
}

}  // namespace

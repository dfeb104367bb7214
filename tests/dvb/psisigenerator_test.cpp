#include "dvb/psisigenerator.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "dvb/psisi/codecfactory.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/sdt.h"
#include "dvb/psisi/tdttot.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"
#include "tspacketpool.h"
#include "utils.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

constexpr uint64_t MS = 1000;
constexpr uint64_t T0 = 1000000000;  // an arbitrary monotonic start

std::unique_ptr<Section> patTable(std::unordered_map<int, int> programs) {
    auto p = std::make_unique<PAT>(ST_PAT);
    p->payload.programs = std::move(programs);
    return p;
}

// An SDT of `count` services whose section takes three packets when count is 10.
std::unique_ptr<Section> sdtTable(int count, const std::string& tag = "") {
    auto s = std::make_unique<SDT>(ST_SDT);
    for (int i = 1; i <= count; ++i) {
        SdtServicePayload& svc = s->payload.services[i];
        svc.attributes[SERVICE_TYPE] = 1;
        svc.attributes[PROVIDER_NAME] = "Prov";
        svc.attributes[SERVICE_NAME] = utils::string_format("Service number %02d%s padded", i, tag.c_str());
    }
    return s;
}

class Generator : public ::testing::Test {
  protected:
    void SetUp() override {
        psisi_test::initCrc();
        pool.init(64);
        allocate = fastdelegate::MakeDelegate<&TsPacketPool::alloc>(&pool);
    }
    void TearDown() override { release(); }

    // Polls at `now` and returns what was emitted (0 or 1 packet) and the returned delay.
    std::vector<Bytes> poll(PsisiGenerator& g, uint64_t now, uint64_t* delay = nullptr) {
        std::deque<TsPacket*> queue;
        const uint64_t d = g.output(now, &queue, allocate);
        if (delay != nullptr) {
            *delay = d;
        }
        std::vector<Bytes> out;
        for (TsPacket* p : queue) {
            EXPECT_EQ(p->sid, g.sid);
            out.emplace_back(p->data, p->data + TS_PACKET_SIZE);
            held.push_back(p);
        }
        return out;
    }
    void release() {
        for (TsPacket* p : held) {
            pool.free(p);
        }
        held.clear();
    }

    TsPacketPool pool;
    fastdelegate::FastDelegate0<TsPacket*> allocate;
    std::vector<TsPacket*> held;
};

bool pusi(const Bytes& p) {
    return (p[1] & 0x40) != 0;
}
int pidOf(const Bytes& p) {
    return ((p[1] & 0x1F) << 8) | p[2];
}
int ccOf(const Bytes& p) {
    return p[3] & 0x0F;
}

// Section bytes carried by consecutive packets, starting at a packet with a section start.
Bytes reassemble(const std::vector<Bytes>& packets) {
    Bytes s;
    for (const Bytes& p : packets) {
        const size_t from = pusi(p) ? 5 + p[4] : 4;
        s.insert(s.end(), p.begin() + static_cast<long>(from), p.end());
    }
    const size_t length = 3 + (((s[1] & 0x0F) << 8) | s[2]);
    s.resize(length);
    return s;
}

std::unique_ptr<Section> decode(const Bytes& section) {
    SectionData sd = psisi_test::sectionData(section);
    EXPECT_TRUE(sd.checkCrc32());
    return CodecFactory::getInstance().codecs.at(section[0])->decodeSection(&sd);
}

TEST_F(Generator, OnePacketTablePolledOftenGoesOutOncePerInterval) {
    PsisiGenerator g(0, 257);
    EXPECT_EQ(g.toString(), "SID 257 PID 0");
    g.setEncodedTable(patTable({{1, 0x1000}}));
    std::vector<Bytes> sent;
    std::vector<uint64_t> times;
    for (uint64_t t = T0; t < T0 + 10000 * MS; t += 10 * MS) {
        uint64_t delay = 0;
        for (Bytes& p : poll(g, t, &delay)) {
            sent.push_back(p);
            times.push_back(t);
            EXPECT_EQ(delay, 500 * MS);
        }
        if (!sent.empty() && times.back() != t) {
            EXPECT_EQ(delay, times.back() + 500 * MS - t);
        }
        release();
    }
    ASSERT_EQ(sent.size(), 20u);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(times[i], T0 + i * 500 * MS);
        const Bytes& p = sent[i];
        EXPECT_EQ(p[0], 0x47);
        EXPECT_EQ(pidOf(p), 0);
        EXPECT_TRUE(pusi(p));
        EXPECT_EQ(p[1] & 0x80, 0);     // no transport error
        EXPECT_EQ(p[3] & 0xF0, 0x10);  // payload only, not scrambled
        EXPECT_EQ(ccOf(p), static_cast<int>(i % 16));
        EXPECT_EQ(p[4], 0);
        Bytes s = reassemble({p});
        EXPECT_EQ(s.size(), 16u);
        EXPECT_EQ((s[5] >> 1) & 0x1F, 1);  // the first table is version 1
        for (size_t b = 5 + s.size(); b < TS_PACKET_SIZE; ++b) {
            ASSERT_EQ(p[b], 0xFF);
        }
        auto pat = decode(s);
        EXPECT_EQ(static_cast<PAT&>(*pat).payload.programs, (std::unordered_map<int, int>{{1, 0x1000}}));
    }
}

TEST_F(Generator, MultiPacketSectionIsSpreadOverIntervals) {
    PsisiGenerator g(0x11, 256);
    g.setEncodedTable(sdtTable(10));
    std::vector<Bytes> sent;
    std::vector<uint64_t> times;
    for (uint64_t t = T0; t < T0 + 2001 * MS; t += 10 * MS) {
        for (Bytes& p : poll(g, t)) {
            sent.push_back(p);
            times.push_back(t);
        }
        release();
    }
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(times,
              (std::vector<uint64_t>{T0, T0 + 500 * MS, T0 + 1000 * MS, T0 + 1500 * MS, T0 + 2000 * MS}));
    EXPECT_TRUE(pusi(sent[0]));
    EXPECT_EQ(sent[0][4], 0);
    EXPECT_FALSE(pusi(sent[1]));
    EXPECT_FALSE(pusi(sent[2]));
    EXPECT_TRUE(pusi(sent[3]));
    EXPECT_EQ(sent[3], [&] {
        Bytes again = sent[0];
        again[3] = static_cast<unsigned char>(0x10 | 3);
        return again;
    }());
    Bytes section = reassemble({sent[0], sent[1], sent[2]});
    ASSERT_GT(section.size(), 183u + 184u);
    ASSERT_LE(section.size(), 183u + 2 * 184u);
    // The last packet carries the tail of the section and stuffing only.
    const size_t tail = section.size() - 183 - 184;
    for (size_t b = 4 + tail; b < TS_PACKET_SIZE; ++b) {
        ASSERT_EQ(sent[2][b], 0xFF) << b;
    }
    auto sdt = decode(section);
    EXPECT_EQ(static_cast<SDT&>(*sdt).payload.services.size(), 10u);
    EXPECT_EQ(static_cast<SDT&>(*sdt).payload.services.at(7).attributes.at(SERVICE_NAME).get<std::string>(),
              "Service number 07 padded");
}

TEST_F(Generator, NewTableGoesOutAtOnceWithTheNextVersion) {
    PsisiGenerator g(0, 256);
    EXPECT_EQ(g.version(), 0);
    std::vector<int> versions;
    uint64_t t = T0;
    for (int i = 0; i < 33; ++i) {
        g.setEncodedTable(patTable({{1, 0x100 + i}}));
        t += 1 * MS;  // the previous packet left 1 ms ago
        auto out = poll(g, t);
        ASSERT_EQ(out.size(), 1u) << i;
        Bytes s = reassemble(out);
        versions.push_back((s[5] >> 1) & 0x1F);
        EXPECT_EQ(static_cast<PAT&>(*decode(s)).payload.programs.at(1), 0x100 + i);
        EXPECT_EQ(g.version(), versions.back());
        release();
    }
    EXPECT_EQ(versions.front(), 1);
    EXPECT_EQ(versions[30], 31);
    EXPECT_EQ(versions[31], 0);
    EXPECT_EQ(versions[32], 1);
}

// A table change while a multi-packet section is half sent: the next packet must start the new
// section (payload_unit_start_indicator, pointer_field 0), never carry the new section's bytes
// from the old read position.
TEST_F(Generator, TableChangeInTheMiddleOfASectionStartsTheNewSection) {
    for (int next_services : {10, 1}) {
        PsisiGenerator g(0x11, 256);
        g.setEncodedTable(sdtTable(10));
        ASSERT_EQ(poll(g, T0).size(), 1u);
        ASSERT_EQ(poll(g, T0 + 500 * MS).size(), 1u);  // two of three packets are out
        g.setEncodedTable(sdtTable(next_services, "X"));
        std::vector<Bytes> sent;
        for (uint64_t t = T0 + 501 * MS; sent.size() < 4; t += 10 * MS) {
            for (Bytes& p : poll(g, t)) {
                sent.push_back(p);
            }
        }
        release();
        ASSERT_TRUE(pusi(sent[0])) << next_services;
        EXPECT_EQ(sent[0][4], 0);
        EXPECT_EQ(sent[0][5], 0x42);
        const size_t packets = next_services == 10 ? 3 : 1;
        std::vector<Bytes> first(sent.begin(), sent.begin() + static_cast<long>(packets));
        auto sdt = decode(reassemble(first));
        ASSERT_EQ(static_cast<SDT&>(*sdt).payload.services.size(), static_cast<size_t>(next_services));
        EXPECT_EQ(
            static_cast<SDT&>(*sdt).payload.services.at(1).attributes.at(SERVICE_NAME).get<std::string>(),
            "Service number 01X padded");
        EXPECT_TRUE(pusi(sent[packets]));
        // Continuity carries on across the change.
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(ccOf(sent[i]), static_cast<int>((2 + i) % 16));
        }
    }
}

TEST_F(Generator, EmptyPoolLosesTheSlotAndLogsOncePerHundred) {
    PsisiGenerator g(0, 258);
    g.setEncodedTable(patTable({}));
    struct Empty {
        TsPacket* alloc() { return nullptr; }
    } empty;
    auto none = fastdelegate::MakeDelegate<&Empty::alloc>(&empty);
    LogCapture log(google::GLOG_ERROR);
    uint64_t t = T0;
    for (int i = 0; i < 250; ++i) {
        std::deque<TsPacket*> queue;
        EXPECT_EQ(g.output(t, &queue, none), 500 * MS);
        EXPECT_TRUE(queue.empty());
        t += 500 * MS;
    }
    EXPECT_EQ(log.count("SID 258 PID 0:  pool empty"), 3);
    // The slot is skipped: the next packet is due one interval later, with the first CC.
    EXPECT_TRUE(poll(g, t - 1).empty());
    auto out = poll(g, t);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(ccOf(out[0]), 0);
}

TEST_F(Generator, EncodingFailuresKeepThePreviousTable) {
    PsisiGenerator g(0, 259);
    LogCapture log(google::GLOG_WARNING);
    // Without any table nothing is sent and the poller is told to come back soon.
    uint64_t delay = 0;
    EXPECT_TRUE(poll(g, T0, &delay).empty());
    EXPECT_EQ(delay, PsisiGenerator::NO_TABLE_RETRY_US);

    g.setEncodedTable(patTable({{1, 0x100}}));
    ASSERT_EQ(poll(g, T0).size(), 1u);

    std::unique_ptr<Section> tdt = std::make_unique<TdtTot>(ST_TDT_TOT);
    g.setEncodedTable(tdt);
    EXPECT_EQ(log.count("SID 259 PID 0 table_id 0x70 encoding not implemented"), 1);
    std::unordered_map<int, int> many;
    for (int i = 1; i <= 300; ++i) {
        many[i] = 0x100 + i;
    }
    g.setEncodedTable(patTable(many));
    EXPECT_EQ(log.count("SID 259 PID 0: section_length to big"), 1);

    EXPECT_EQ(g.version(), 1);
    EXPECT_TRUE(poll(g, T0 + 499 * MS).empty());
    auto out = poll(g, T0 + 500 * MS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(static_cast<PAT&>(*decode(reassemble(out))).payload.programs.size(), 1u);
    // The next good table takes the next version.
    g.setEncodedTable(patTable({{2, 0x200}}));
    EXPECT_EQ(g.version(), 2);
}

TEST_F(Generator, BackwardTimeIsReportedAndThePacketSent) {
    PsisiGenerator g(0, 256);
    g.setEncodedTable(patTable({}));
    ASSERT_EQ(poll(g, T0).size(), 1u);
    LogCapture log(google::GLOG_ERROR);
    EXPECT_EQ(poll(g, T0 - 100 * MS).size(), 1u);
    EXPECT_EQ(log.count("backward time"), 1);
}

}  // namespace

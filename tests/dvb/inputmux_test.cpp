#include "dvb/inputmux.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>

#include "orm/attributenames.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::LogCapture;

std::unique_ptr<Section> pat(int version, int tsid, std::unordered_map<int, int> programs, int section = 0,
                             int last = 0) {
    auto p = std::make_unique<PAT>(ST_PAT);
    p->version_number = p->payload.version = version;
    p->table_id_extension = p->payload.transport_stream_id = tsid;
    p->section_number = section;
    p->last_section_number = last;
    p->payload.programs = std::move(programs);
    return p;
}

std::unique_ptr<Section> pmt(int program, int version) {
    auto p = std::make_unique<PMT>(ST_PMT);
    p->version_number = p->version = version;
    p->table_id_extension = p->program_number = program;
    return p;
}

std::unique_ptr<Section> sdt(int version, int tsid, const std::string& name, int section = 0, int last = 0) {
    auto s = std::make_unique<SDT>(ST_SDT);
    s->version_number = s->payload.version = version;
    s->table_id_extension = s->payload.transport_stream_id = tsid;
    s->section_number = section;
    s->last_section_number = last;
    s->payload.services[1].version = version;
    s->payload.services[1].attributes = {{SERVICE_NAME, name}};
    return s;
}

std::unique_ptr<Section> nit(int version, int network_id, const std::string& name, int section = 0,
                             int last = 0) {
    auto n = std::make_unique<NIT>(ST_NIT);
    n->version_number = n->payload.version = version;
    n->table_id_extension = n->payload.network_id = network_id;
    n->section_number = section;
    n->last_section_number = last;
    n->payload.attributes = {{NETWORK_NAME, name}};
    n->payload.transport_streams[0x10].transport_stream_id = 0x10;
    return n;
}

void expectRefusal(InputMux& mux, const std::unique_ptr<Section>& s, const char* text) {
    try {
        mux.sectionNotify(s);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), text);
    }
}

TEST(InputMux, FreshStateAndName) {
    InputMux mux(7);
    EXPECT_EQ(mux.sid, 7u);
    EXPECT_TRUE(mux.pats.empty());
    EXPECT_TRUE(mux.sdts.empty());
    EXPECT_TRUE(mux.nits.empty());
    EXPECT_EQ(mux.time_table, nullptr);
    std::ostringstream os;
    os << mux << "," << &mux;
    EXPECT_EQ(os.str(), "IM 7,IM 7");
}

TEST(InputMux, PatSectionsAreKeptPerSectionNumberAndVersion) {
    InputMux mux(5);
    LogCapture log;
    mux.sectionNotify(pat(0, 0x42, {{1, 0x100}}, 0, 1));
    ASSERT_EQ(mux.pats.size(), 2u);
    EXPECT_EQ(mux.pats[0].version, 0);
    EXPECT_EQ(mux.pats[0].transport_stream_id, 0x42);
    EXPECT_EQ(mux.pats[1].version, -1);
    EXPECT_EQ(mux.pats[1].transport_stream_id, -1);
    EXPECT_EQ(mux.pats[1].nid_pid, -1);
    EXPECT_EQ(log.count("IM 5 PAT section 0/1, version -1 -> 0\n+---"), 1);
    // Half a PAT is not complete.
    expectRefusal(mux, pmt(1, 0), "PMT before PAT");
    expectRefusal(mux, sdt(0, 0x42, "A"), "SDT before PAT");

    mux.sectionNotify(pat(0, 0x42, {{2, 0x200}}, 1, 1));
    EXPECT_EQ(mux.pats[1].programs.at(2), 0x200);
    mux.sectionNotify(pmt(1, 0));
    // Only programs of the first section are known to the PMT check.
    expectRefusal(mux, pmt(2, 0), "PMT before PAT");
    expectRefusal(mux, pmt(3, 0), "PMT before PAT");

    // A repetition changes nothing and logs nothing; a new version replaces the record.
    log.clear();
    mux.pats[0].programs[9] = 0x900;
    mux.sectionNotify(pat(0, 0x42, {{1, 0x100}}, 0, 1));
    EXPECT_EQ(mux.pats[0].programs.count(9), 1u);
    EXPECT_TRUE(log.lines().empty());
    mux.sectionNotify(pat(1, 0x42, {{1, 0x101}}, 0, 0));
    ASSERT_EQ(mux.pats.size(), 1u);
    EXPECT_EQ(mux.pats[0].version, 1);
    EXPECT_EQ(mux.pats[0].programs, (std::unordered_map<int, int>{{1, 0x101}}));
    EXPECT_EQ(log.count("IM 5 PAT section 0/0, version 0 -> 1"), 1);
}

TEST(InputMux, SdtNeedsThePatAndItsTransportStream) {
    InputMux mux(5);
    expectRefusal(mux, sdt(0, 0x42, "A"), "SDT before PAT");
    mux.sectionNotify(pat(3, 0x42, {{1, 0x100}}));

    LogCapture log;
    mux.sectionNotify(sdt(0, 0x43, "Other"));
    EXPECT_TRUE(mux.sdts.empty());
    EXPECT_EQ(log.count("IM 5 sdt_actual transport_stream_id 67 differ from PAT 66"), 1);

    mux.sectionNotify(sdt(0, 0x42, "A"));
    ASSERT_EQ(mux.sdts.size(), 1u);
    EXPECT_EQ(mux.sdts[0].version, 0);
    EXPECT_EQ(mux.sdts[0].services.at(1).attributes.at(SERVICE_NAME).get<std::string>(), "A");
    EXPECT_EQ(log.count("IM 5 SDT section 0/0, version -1 -> 0\n"), 1);
    mux.sectionNotify(sdt(0, 0x42, "changed, same version"));
    EXPECT_EQ(mux.sdts[0].services.at(1).attributes.at(SERVICE_NAME).get<std::string>(), "A");
    mux.sectionNotify(sdt(1, 0x42, "B", 1, 1));
    ASSERT_EQ(mux.sdts.size(), 2u);
    EXPECT_EQ(mux.sdts[1].services.at(1).attributes.at(SERVICE_NAME).get<std::string>(), "B");
    EXPECT_EQ(log.count("IM 5 SDT section 1/1, version -1 -> 1"), 1);
}

TEST(InputMux, NitIsKeptPerSection) {
    InputMux mux(5);
    LogCapture log;
    mux.sectionNotify(nit(2, 0x3001, "Net"));
    ASSERT_EQ(mux.nits.size(), 1u);
    EXPECT_EQ(mux.nits[0].version, 2);
    EXPECT_EQ(mux.nits[0].network_id, 0x3001);
    EXPECT_EQ(mux.nits[0].attributes.at(NETWORK_NAME).get<std::string>(), "Net");
    EXPECT_EQ(mux.nits[0].transport_streams.size(), 1u);
    EXPECT_EQ(log.count("IM 5 NIT section 0/0, version -1 -> 2"), 1);
    mux.sectionNotify(nit(2, 0x3001, "Same version"));
    EXPECT_EQ(mux.nits[0].attributes.at(NETWORK_NAME).get<std::string>(), "Net");
    mux.sectionNotify(nit(3, 0x3001, "New"));
    EXPECT_EQ(mux.nits[0].attributes.at(NETWORK_NAME).get<std::string>(), "New");
}

TEST(InputMux, SectionNumbersBeyondTheLastAreRefused) {
    InputMux mux(5);
    EXPECT_THROW(mux.sectionNotify(pat(0, 1, {{1, 0x100}}, 3, 1)), std::invalid_argument);
    EXPECT_THROW(mux.sectionNotify(nit(0, 1, "N", 2, 0)), std::invalid_argument);
    EXPECT_TRUE(mux.pats.empty());
    EXPECT_TRUE(mux.nits.empty());
    mux.sectionNotify(pat(0, 1, {{1, 0x100}}));
    EXPECT_THROW(mux.sectionNotify(sdt(0, 1, "S", 1, 0)), std::invalid_argument);
    EXPECT_TRUE(mux.sdts.empty());
}

TEST(InputMux, TimeTablesAreIgnored) {
    InputMux mux(5);
    std::unique_ptr<Section> tdt = std::make_unique<TdtTot>(ST_TDT_TOT);
    mux.sectionNotify(tdt);
    EXPECT_EQ(mux.time_table, nullptr);
    EXPECT_TRUE(mux.pats.empty());
}

}  // namespace

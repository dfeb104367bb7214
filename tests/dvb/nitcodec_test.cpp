#include "dvb/psisi/nitcodec.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "dvb/psisi/nit.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

std::unique_ptr<NIT> decodeNit(const Bytes& section) {
    SectionData sd = psisi_test::sectionData(section);
    std::unique_ptr<Section> s = NitCodec().decodeSection(&sd);
    return std::unique_ptr<NIT>(static_cast<NIT*>(s.release()));
}

Bytes loop(const Bytes& content, int reserved = 0xF0) {
    Bytes b = {static_cast<unsigned char>(reserved | (content.size() >> 8)),
               static_cast<unsigned char>(content.size())};
    psisi_test::append(b, content);
    return b;
}

Bytes tsEntry(int tsid, int onid, const Bytes& descriptors) {
    Bytes e = {static_cast<unsigned char>(tsid >> 8), static_cast<unsigned char>(tsid),
               static_cast<unsigned char>(onid >> 8), static_cast<unsigned char>(onid)};
    Bytes l = loop(descriptors);
    psisi_test::append(e, l);
    return e;
}

Bytes nitBody(const Bytes& network_descriptors, const Bytes& ts_loop) {
    Bytes b = loop(network_descriptors);
    Bytes t = loop(ts_loop);
    psisi_test::append(b, t);
    return b;
}

const Bytes NET = {0x40, 0x03, 'N', 'e', 't'};
const Bytes OTHER_NAME = {0x40, 0x05, 'O', 't', 'h', 'e', 'r'};

TEST(NitCodec, NetworkNameAndTransportStreams) {
    Bytes ts_loop = tsEntry(0x1234, 0x2345, OTHER_NAME);
    Bytes second = tsEntry(0x0001, 0x2345, {0x41, 0x03, 0x00, 0x01, 0x01});
    psisi_test::append(ts_loop, second);
    LogCapture log(google::GLOG_WARNING);
    auto nit = decodeNit(psisi_test::longSection(0x40, 0x3001, 6, nitBody(NET, ts_loop)));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(nit->getSectionType(), ST_NIT);
    EXPECT_EQ(nit->payload.version, 6);
    EXPECT_EQ(nit->payload.network_id, 0x3001);
    EXPECT_EQ(nit->payload.attributes, (AttributeMap{{NETWORK_NAME, "Net"}}));
    ASSERT_EQ(nit->payload.transport_streams.size(), 2u);
    const NitTransportStreamPayload& ts = nit->payload.transport_streams.at(0x1234);
    EXPECT_EQ(ts.version, 6);
    EXPECT_EQ(ts.transport_stream_id, 0x1234);
    EXPECT_EQ(ts.original_network_id, 0x2345);
    EXPECT_TRUE(ts.attributes.empty());

    // A name found only in the transport stream loop goes to the network.
    auto late = decodeNit(psisi_test::longSection(0x40, 1, 0, nitBody({}, tsEntry(1, 2, OTHER_NAME))));
    EXPECT_EQ(late->payload.attributes, (AttributeMap{{NETWORK_NAME, "Other"}}));
}

TEST(NitCodec, LoopLengthsThatDisagreeWithTheData) {
    {
        // Declared 12, present 14: two entries of 6 bytes are read.
        Bytes body = nitBody({}, {0, 1, 0, 2, 0xF0, 0, 0, 3, 0, 4, 0xF0, 0, 0xAA, 0xBB});
        body[3] = 12;
        LogCapture log(google::GLOG_WARNING);
        auto nit = decodeNit(psisi_test::longSection(0x40, 1, 0, body));
        EXPECT_EQ(log.count("transport_stream_loop_length 12 != remaining 14"), 1);
        EXPECT_EQ(nit->payload.transport_streams.size(), 2u);
        EXPECT_EQ(nit->payload.transport_streams.at(3).original_network_id, 4);
    }
    {
        // Declared beyond the data: the loop ends with the data, the warnings stay.
        Bytes body = nitBody({}, tsEntry(1, 2, {}));
        body[3] = 40;
        LogCapture log(google::GLOG_WARNING);
        auto nit = decodeNit(psisi_test::longSection(0x40, 1, 0, body));
        EXPECT_EQ(log.count("transport_stream_loop_length 40 != remaining 6"), 1);
        EXPECT_EQ(log.count("remaining_transport_stream_loop_length=34"), 1);
        EXPECT_EQ(nit->payload.transport_streams.size(), 1u);
    }
    {
        // An entry's descriptor length beyond the data.
        Bytes entry = tsEntry(1, 2, NET);
        entry[5] = 0x80;
        LogCapture log(google::GLOG_WARNING);
        auto nit = decodeNit(psisi_test::longSection(0x40, 1, 0, nitBody({}, entry)));
        EXPECT_EQ(nit->payload.attributes, (AttributeMap{{NETWORK_NAME, "Net"}}));
        EXPECT_EQ(log.count("remaining_transport_stream_loop_length="), 0);
    }
    {
        // A network descriptor loop beyond the data leaves no transport stream loop to read.
        Bytes body = loop(NET);
        body[1] = 0xFF;
        LogCapture log(google::GLOG_WARNING);
        auto nit = decodeNit(psisi_test::longSection(0x40, 1, 0, body));
        EXPECT_EQ(nit->payload.attributes, (AttributeMap{{NETWORK_NAME, "Net"}}));
        EXPECT_TRUE(nit->payload.transport_streams.empty());
        EXPECT_EQ(log.count("transport_stream_loop_length 0 != remaining -252"), 1);
    }
    {
        // Leftover bytes that cannot form an entry.
        LogCapture log(google::GLOG_WARNING);
        auto nit =
            decodeNit(psisi_test::longSection(0x40, 1, 0, nitBody({}, {0, 1, 0, 2, 0xF0, 0, 0xAA, 0xBB})));
        EXPECT_EQ(nit->payload.transport_streams.size(), 1u);
        EXPECT_EQ(log.count("remaining_transport_stream_loop_length=2"), 1);
    }
}

TEST(NitCodec, RefusesAndDoesNotEncode) {
    Bytes thirteen = psisi_test::longSection(0x40, 1, 0, {0xF0});
    SectionData sd = psisi_test::sectionData(thirteen);
    EXPECT_THROW(NitCodec().decodeSection(&sd), std::length_error);
    SectionData sdt = psisi_test::sectionData(psisi_test::longSection(0x42, 1, 0, {0, 0, 0xFF}));
    EXPECT_THROW(NitCodec().decodeSection(&sdt), std::invalid_argument);
    NIT nit(ST_NIT);
    SectionData out;
    EXPECT_EQ(NitCodec().encodeSection(&nit, &out), 0u);
    EXPECT_EQ(out.length, 0u);
}

TEST(NitCodec, OnlyNetworkNameDescriptorsAreMerged) {
    NIT nit(ST_NIT);
    DvbDescriptor service{SERVICE_DESCRIPTOR, {{SERVICE_NAME, "S"}}};
    DvbDescriptor first{NETWORK_NAME_DESCRIPTOR, {{NETWORK_NAME, "First"}}};
    DvbDescriptor second{NETWORK_NAME_DESCRIPTOR, {{NETWORK_NAME, "Second"}}};
    nit.appendAttributesFromDescriptor(&service);
    nit.appendAttributesFromDescriptor(&first);
    nit.appendAttributesFromDescriptor(&second);
    EXPECT_EQ(nit.payload.attributes, (AttributeMap{{NETWORK_NAME, "First"}}));
    nit.payload.network_id = 7;
    const std::string rule = "+" + std::string(55, '-') + "\n";
    EXPECT_EQ(nit.toFancyString(), rule + "| network_id 7\n| +- network_name : First\n" + rule);
}

}  // namespace

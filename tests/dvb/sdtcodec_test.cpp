#include "dvb/psisi/sdtcodec.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "dvb/psisi/sdt.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

std::unique_ptr<SDT> decodeSdt(const Bytes& section) {
    SectionData sd = psisi_test::sectionData(section);
    std::unique_ptr<Section> s = SdtCodec().decodeSection(&sd);
    return std::unique_ptr<SDT>(static_cast<SDT*>(s.release()));
}

Bytes service(int id, const Bytes& descriptors) {
    Bytes s = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), 0xFC,
               static_cast<unsigned char>(0x80 | (descriptors.size() >> 8)),
               static_cast<unsigned char>(descriptors.size())};
    psisi_test::append(s, descriptors);
    return s;
}

Bytes serviceDescriptor(int type, const std::string& provider, const std::string& name) {
    Bytes d = {0x48, static_cast<unsigned char>(3 + provider.size() + name.size()),
               static_cast<unsigned char>(type), static_cast<unsigned char>(provider.size())};
    d.insert(d.end(), provider.begin(), provider.end());
    d.push_back(static_cast<unsigned char>(name.size()));
    d.insert(d.end(), name.begin(), name.end());
    return d;
}

Bytes sdtBody(const std::vector<Bytes>& services) {
    Bytes b = {0x23, 0x45, 0xFF};
    for (const Bytes& s : services) {
        psisi_test::append(b, s);
    }
    return b;
}

TEST(SdtCodec, DecodesServicesAndTheirNames) {
    LogCapture log(google::GLOG_WARNING);
    auto sdt = decodeSdt(psisi_test::longSection(
        0x42, 0x1234, 4,
        sdtBody({service(1, serviceDescriptor(0x01, "Provider A", "Alpha One")),
                 // Another descriptor first, then the service descriptor.
                 service(2,
                         [] {
                             Bytes d = {0x5F, 0x04, 0, 0, 0, 1};
                             Bytes s = serviceDescriptor(0x19, "\x15P\xC3\xB8", "Beta");
                             psisi_test::append(d, s);
                             return d;
                         }()),
                 service(3, {})})));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(sdt->getSectionType(), ST_SDT);
    EXPECT_EQ(sdt->payload.version, 4);
    EXPECT_EQ(sdt->payload.transport_stream_id, 0x1234);
    EXPECT_EQ(sdt->payload.spare, -1);
    ASSERT_EQ(sdt->payload.services.size(), 3u);
    const SdtServicePayload& one = sdt->payload.services.at(1);
    EXPECT_EQ(one.version, 4);
    EXPECT_EQ(one.spare, 0);
    EXPECT_EQ(one.attributes,
              (AttributeMap{{SERVICE_TYPE, 1}, {PROVIDER_NAME, "Provider A"}, {SERVICE_NAME, "Alpha One"}}));
    EXPECT_EQ(sdt->payload.services.at(2).attributes,
              (AttributeMap{{SERVICE_TYPE, 0x19}, {PROVIDER_NAME, "P\xC3\xB8"}, {SERVICE_NAME, "Beta"}}));
    EXPECT_TRUE(sdt->payload.services.at(3).attributes.empty());
}

TEST(SdtCodec, SameServiceTwiceKeepsTheFirstNames) {
    auto sdt = decodeSdt(psisi_test::longSection(0x42, 1, 0,
                                                 sdtBody({service(7, serviceDescriptor(1, "A", "First")),
                                                          service(7, serviceDescriptor(2, "B", "Second"))})));
    ASSERT_EQ(sdt->payload.services.size(), 1u);
    EXPECT_EQ(sdt->payload.services.at(7).attributes,
              (AttributeMap{{SERVICE_TYPE, 1}, {PROVIDER_NAME, "A"}, {SERVICE_NAME, "First"}}));
}

TEST(SdtCodec, BrokenServiceDescriptorLeavesTheOthers) {
    LogCapture log(google::GLOG_WARNING);
    Bytes broken = serviceDescriptor(1, "A", "\x15\xC3(");
    Bytes good = serviceDescriptor(1, "B", "Fine");
    auto sdt =
        decodeSdt(psisi_test::longSection(0x42, 1, 0, sdtBody({service(1, broken), service(2, good)})));
    EXPECT_TRUE(sdt->payload.services.at(1).attributes.empty());
    EXPECT_EQ(sdt->payload.services.at(2).attributes.at(SERVICE_NAME).get<std::string>(), "Fine");
    EXPECT_EQ(log.count("iconv(): "), 1);
}

TEST(SdtCodec, LeftoverAndOverrunningLoops) {
    {
        LogCapture log(google::GLOG_WARNING);
        Bytes body = sdtBody({service(1, {})});
        body.insert(body.end(), {0x00, 0x02, 0xFC});
        auto sdt = decodeSdt(psisi_test::longSection(0x42, 1, 0, body));
        EXPECT_EQ(sdt->payload.services.size(), 1u);
        EXPECT_EQ(log.count("remaining=3"), 1);
    }
    {
        // A descriptor loop length beyond the section: the descriptors that are there count.
        Bytes s = service(9, serviceDescriptor(1, "P", "Nine"));
        s[4] = 0xF0;
        auto sdt = decodeSdt(psisi_test::longSection(0x42, 1, 0, sdtBody({s})));
        EXPECT_EQ(sdt->payload.services.at(9).attributes.at(SERVICE_NAME).get<std::string>(), "Nine");
    }
    SectionData nit = psisi_test::sectionData(psisi_test::longSection(0x40, 1, 0, {0xF0, 0x00, 0xF0, 0x00}));
    EXPECT_THROW(SdtCodec().decodeSection(&nit), std::invalid_argument);
    Bytes eleven = psisi_test::longSection(0x42, 1, 0, {});
    eleven.resize(11);
    SectionData short_sd = psisi_test::sectionData(eleven);
    EXPECT_THROW(SdtCodec().decodeSection(&short_sd), std::length_error);
}

TEST(SdtCodec, EncodingWritesOneRunningServiceDescriptorPerService) {
    psisi_test::initCrc();
    SDT sdt(ST_SDT);
    sdt.payload.transport_stream_id = 0x1234;
    sdt.payload.services[0x0101].attributes = {
        {SERVICE_TYPE, 0x19}, {PROVIDER_NAME, "P"}, {SERVICE_NAME, "Service 1"}};
    SectionData sd;
    sd.version_number = 1;
    const unsigned n = SdtCodec().encodeSection(&sdt, &sd);
    EXPECT_EQ(n, 11u + 5 + 15);
    EXPECT_EQ(
        Bytes(sd.bytes, sd.bytes + n),
        (Bytes{0x42, 0xB0, 0x20, 0x00, 0x02, 0xC3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x80, 0x0F,
               0x48, 0x0D, 0x01, 0x01, 'P',  0x09, 'S',  'e',  'r',  'v',  'i',  'c',  'e',  ' ',  '1'}));
    sd.appendCrc32();
    auto back = decodeSdt(Bytes(sd.bytes, sd.bytes + sd.length));
    EXPECT_EQ(back->payload.transport_stream_id, 2);
    EXPECT_EQ(back->payload.version, 1);
    EXPECT_EQ(back->payload.services.at(0x0101).attributes,
              (AttributeMap{{SERVICE_TYPE, 1}, {PROVIDER_NAME, "P"}, {SERVICE_NAME, "Service 1"}}));

    SDT empty(ST_SDT);
    SectionData e;
    EXPECT_EQ(SdtCodec().encodeSection(&empty, &e), 11u);
    EXPECT_EQ(((e.bytes[1] & 0x0F) << 8) | e.bytes[2], 12);
}

TEST(SdtCodec, EncodingLimit) {
    // section_length 12 + 28 x (5 + 31) = 1020 with 26-byte names; 1021 fits, 1023 does not.
    SDT sdt(ST_SDT);
    for (int i = 0; i < 28; ++i) {
        sdt.payload.services[i + 1].attributes = {{SERVICE_NAME, std::string(26, 'a')}};
    }
    SectionData sd;
    EXPECT_EQ(SdtCodec().encodeSection(&sdt, &sd), 1020u - 1);
    sdt.payload.services[1].attributes = {{SERVICE_NAME, std::string(27, 'a')}};
    EXPECT_EQ(SdtCodec().encodeSection(&sdt, &sd), 1020u);
    sdt.payload.services[2].attributes = {{SERVICE_NAME, std::string(28, 'a')}};
    try {
        SdtCodec().encodeSection(&sdt, &sd);
        FAIL();
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "section_length to big");
    }
}

TEST(SdtCodec, TextDump) {
    SDT sdt(ST_SDT);
    sdt.payload.transport_stream_id = 2;
    sdt.payload.services[5].attributes = {{SERVICE_TYPE, 1}};
    const std::string rule = "+" + std::string(49, '-') + "\n";
    EXPECT_EQ(sdt.toFancyString(),
              rule + "| transport_stream_id 2\n" + rule + "| service 5\n| +- service_type : 1\n|\n" + rule);
}

}  // namespace

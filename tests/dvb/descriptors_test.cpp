#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "dvb/psisi/descriptors/descriptor_codec_impl.h"
#include "dvb/psisi/descriptors/descriptorfactory.h"
#include "dvb/psisi/sectioncodec.h"
#include "orm/attributenames.h"
#include "psisi_test_support.h"
#include "utils.h"

namespace {

using psisi_test::Bytes;
using psisi_test::LogCapture;

std::unique_ptr<DvbDescriptor> decode(const Bytes& b) {
    return std::unique_ptr<DvbDescriptor>(
        DvbDescriptorFactory::getInstance().decodeDescriptor(b.data(), static_cast<unsigned>(b.size())));
}

std::vector<std::unique_ptr<DvbDescriptor>> decodeLoop(const Bytes& b, int* left = nullptr) {
    std::vector<DvbDescriptor*> raw;
    int r = DvbDescriptorFactory::getInstance().decodeDescriptorLoop(b.data(),
                                                                     static_cast<unsigned>(b.size()), &raw);
    if (left != nullptr) {
        *left = r;
    }
    std::vector<std::unique_ptr<DvbDescriptor>> out;
    for (DvbDescriptor* d : raw) {
        out.emplace_back(d);
    }
    return out;
}

std::string text(const DvbDescriptor& d, const std::string& name) {
    return d.attributes.at(name).get<std::string>();
}
int number(const DvbDescriptor& d, const std::string& name) {
    return d.attributes.at(name).get<int>();
}

// Every decoder with the attributes it produces.
TEST(Descriptors, DecodersProduceTheirAttributes) {
    struct Case {
        const char* what;
        Bytes bytes;
        DescriptorType tag;
        AttributeMap attributes;
    };
    const std::string sub10 = stream_type3_component_description.at(0x10);
    const Case cases[] = {
        {"video 25", {0x02, 0x01, 0x18}, VIDEO_STREAM_DESCRIPTOR, {{FRAME_RATE, "25"}}},
        {"video 23.976", {0x02, 0x03, 0x08, 0x00, 0x00}, VIDEO_STREAM_DESCRIPTOR, {{FRAME_RATE, "23.976"}}},
        {"video 59.94", {0x02, 0x01, 0x38}, VIDEO_STREAM_DESCRIPTOR, {{FRAME_RATE, "59.94"}}},
        {"video 60", {0x02, 0x01, 0x40}, VIDEO_STREAM_DESCRIPTOR, {{FRAME_RATE, "60"}}},
        {"video code 0", {0x02, 0x01, 0x00}, VIDEO_STREAM_DESCRIPTOR, {{FRAME_RATE, "invalid"}}},
        {"video code 9", {0x02, 0x01, 0x48}, VIDEO_STREAM_DESCRIPTOR, {{FRAME_RATE, "invalid"}}},
        {"registration AC-3",
         {0x05, 0x04, 'A', 'C', '-', '3'},
         REGISTRATION_DESCRIPTOR,
         {{FORMAT_IDENTIFIER, 0x41432D33}}},
        {"CA",
         {0x09, 0x04, 0x0B, 0x00, 0xE1, 0x23},
         CA_DESCRIPTOR,
         {{CA_SYSTEM_ID, 0x0B00}, {CA_PID, 0x123}}},
        {"language, first entry wins",
         {0x0A, 0x08, 'e', 'n', 'g', 0x00, 'd', 'e', 'u', 0x03},
         ISO_639_LANGUAGE_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "eng"}, {AUDIO_TYPE, "0x00"}}},
        {"language clean effects",
         {0x0A, 0x04, 'f', 'r', 'a', 0x01},
         ISO_639_LANGUAGE_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "fra"}, {AUDIO_TYPE, "0x01 - Clean effects"}}},
        {"language hearing impaired",
         {0x0A, 0x04, 'f', 'r', 'a', 0x02},
         ISO_639_LANGUAGE_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "fra"}, {AUDIO_TYPE, "0x02 - Hearing impaired"}}},
        {"language visual impaired",
         {0x0A, 0x04, 'f', 'r', 'a', 0x03},
         ISO_639_LANGUAGE_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "fra"}, {AUDIO_TYPE, "0x03 - Visual impaired commentary"}}},
        {"language other type",
         {0x0A, 0x04, 'f', 'r', 'a', 0xAB},
         ISO_639_LANGUAGE_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "fra"}, {AUDIO_TYPE, "0xAB"}}},
        {"language without entries", {0x0A, 0x00, 0x0A, 0x00, 0x00, 0x00}, ISO_639_LANGUAGE_DESCRIPTOR, {}},
        {"maximum bitrate, reserved bits ignored",
         {0x0E, 0x03, 0xC0, 0x00, 0x01},
         MAXIMUM_BITRATE_DESCRIPTOR,
         {{MAXIMUM_BITRATE, 400}}},
        {"maximum bitrate 15 Mbit/s",
         {0x0E, 0x03, 0x00, 0x92, 0x7C},
         MAXIMUM_BITRATE_DESCRIPTOR,
         {{MAXIMUM_BITRATE, 15000000}}},
        {"network name", {0x40, 0x03, 'N', 'e', 't'}, NETWORK_NAME_DESCRIPTOR, {{NETWORK_NAME, "Net"}}},
        {"network name ISO-8859-5",
         {0x40, 0x03, 0x01, 0xBF, 0xE1},
         NETWORK_NAME_DESCRIPTOR,
         {{NETWORK_NAME, "\xD0\x9F\xD1\x81"}}},
        {"service",
         {0x48, 0x0D, 0x19, 0x01, 'P', 0x09, 'S', 'e', 'r', 'v', 'i', 'c', 'e', ' ', '1'},
         SERVICE_DESCRIPTOR,
         {{SERVICE_TYPE, 0x19}, {PROVIDER_NAME, "P"}, {SERVICE_NAME, "Service 1"}}},
        {"service without names", {0x48, 0x03, 0x01, 0x00, 0x00}, SERVICE_DESCRIPTOR, {{SERVICE_TYPE, 1}}},
        {"teletext, first entry wins",
         {0x56, 0x0A, 'd', 'e', 'u', 0x10, 0x00, 'e', 'n', 'g', 0x09, 0x88},
         TELETEXT_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "deu"}, {TELETEXT_TYPE, 2}}},
        {"teletext, short tail ignored", {0x56, 0x04, 'd', 'e', 'u', 0x08}, TELETEXT_DESCRIPTOR, {}},
        {"subtitling listed type",
         {0x59, 0x08, 'd', 'e', 'u', 0x10, 0x00, 0x01, 0x00, 0x01},
         SUBTITLING_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "deu"}, {SUBTITLING_TYPE, "0x10 - " + sub10}}},
        {"subtitling user defined",
         {0x59, 0x08, 'e', 'n', 'g', 0xB5, 0x00, 0x01, 0x00, 0x01},
         SUBTITLING_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "eng"}, {SUBTITLING_TYPE, "0xB5 - user defined"}}},
        {"subtitling reserved",
         {0x59, 0x08, 'e', 'n', 'g', 0xFF, 0x00, 0x01, 0x00, 0x01},
         SUBTITLING_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "eng"}, {SUBTITLING_TYPE, "0xFF - reserved"}}},
        {"subtitling unlisted low type",
         {0x59, 0x08, 'e', 'n', 'g', 0x15, 0x00, 0x01, 0x00, 0x01},
         SUBTITLING_DESCRIPTOR,
         {{ISO_639_LANGUAGE_CODE, "eng"}, {SUBTITLING_TYPE, "0x15 - reserved"}}},
        {"AC-3 full main stereo",
         {0x6A, 0x02, 0x80, 0x42},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Full service, Complete main, Stereo"}}},
        {"AC-3 music and effects",
         {0x6A, 0x02, 0x80, 0x0A},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Music and effects, Stereo"}}},
        {"E-AC-3 voiceover 5.1",
         {0x7A, 0x02, 0x80, 0xFD},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "E-AC3, Full service, Voiceover, Multichannel >5.1"}}},
        {"E-AC-3 karaoke",
         {0x6A, 0x02, 0x80, 0xBD},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "E-AC3, Karaoke, Multichannel >5.1"}}},
        {"AC-3 visually impaired mono",
         {0x6A, 0x02, 0x80, 0x10},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Visually impaired, Mono"}}},
        {"AC-3 hearing impaired dual mono",
         {0x6A, 0x02, 0x80, 0x19},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Hearing impaired, Dual mono"}}},
        {"AC-3 dialogue surround",
         {0x6A, 0x02, 0x80, 0x23},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Dialogue, Dolby Surround stereo"}}},
        {"AC-3 commentary >2",
         {0x6A, 0x02, 0x80, 0x6C},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Full service, Commentary, Multicannel >2"}}},
        {"AC-3 emergency multiprogram",
         {0x6A, 0x02, 0x80, 0x76},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Full service, Emergency, Multiprogram"}}},
        {"AC-3 full dialogue, 7 channels code",
         {0x6A, 0x02, 0x80, 0x67},
         AC3_DESCRIPTOR,
         {{AC3_TYPE, "AC3, Full service"}}},
        {"AC-3 without component type", {0x6A, 0x01, 0x00}, AC3_DESCRIPTOR, {}},
    };
    for (const Case& c : cases) {
        auto d = decode(c.bytes);
        ASSERT_NE(d, nullptr) << c.what;
        EXPECT_EQ(d->tag, c.tag) << c.what;
        EXPECT_EQ(d->attributes, c.attributes) << c.what;
    }
}

TEST(Descriptors, ShortDescriptorsFailWithoutReadingPastTheirEnd) {
    struct Case {
        const char* what;
        Bytes bytes;
        const char* error;
    };
    // Each descriptor is followed by bytes that a decoder reading too far would take.
    const Case cases[] = {
        {"video without body", {0x02, 0x00, 0x18, 0x18}, "len"},
        {"registration of 2 bytes", {0x05, 0x02, 'A', 'C', '-', '3'}, "len"},
        {"CA of 3 bytes", {0x09, 0x03, 0x0B, 0x00, 0xE1, 0x23}, "len"},
        {"maximum bitrate of 2 bytes", {0x0E, 0x02, 0x00, 0x92, 0x7C}, "len"},
        {"service names past the end", {0x48, 0x03, 0x01, 0x05, 0x00, 'P', 'r', 'o', 'v', 0x00}, "len"},
        {"service name past the end", {0x48, 0x04, 0x01, 0x00, 0x04, 'A', 'B', 'C', 'D'}, "len"},
        {"AC-3 flag without component type", {0x6A, 0x01, 0x80, 0x42}, "component_type_flag set but len < 2"},
        {"AC-3 empty", {0x6A, 0x00, 0x80, 0x42}, "len"},
        {"network name not converted", {0x40, 0x03, 0x15, 0xC3, 0x28}, "iconv(): "},
    };
    for (const Case& c : cases) {
        LogCapture log(google::GLOG_ERROR);
        EXPECT_EQ(decode(c.bytes), nullptr) << c.what;
        ASSERT_EQ(log.lines().size(), 1u) << c.what;
        EXPECT_EQ(log.lines()[0].rfind(c.error, 0), 0u) << c.what << ": " << log.lines()[0];
    }
    // Called directly with fewer bytes than the descriptor's minimum.
    const Bytes reg = {0x05, 0x04, 'A', 'C'};
    EXPECT_THROW(descriptor_codec::decode_registration(reg.data(), 4), std::length_error);
}

TEST(Descriptors, LoopStopsAtZeroLengthAndAtOverruns) {
    {
        int left = 0;
        EXPECT_TRUE(decodeLoop({0x52, 0x00, 0x0A, 0x04, 'e', 'n', 'g', 0x00}, &left).empty());
    }
    {
        LogCapture log(google::GLOG_WARNING);
        auto ds = decodeLoop({0x0A, 0x04, 'e', 'n', 'g', 0x00, 0x02, 0x01, 0x18, 0x0E, 0x05, 0x00, 0x00});
        ASSERT_EQ(ds.size(), 2u);
        EXPECT_EQ(ds[0]->tag, ISO_639_LANGUAGE_DESCRIPTOR);
        EXPECT_EQ(ds[1]->tag, VIDEO_STREAM_DESCRIPTOR);
        EXPECT_EQ(log.count("data size 4 < descriptor_size 7"), 1);
    }
    {
        LogCapture log(google::GLOG_WARNING);
        auto ds = decodeLoop({0x02, 0x01, 0x18, 0x0E});
        EXPECT_EQ(ds.size(), 1u);
        EXPECT_EQ(log.count("descriptor length < 2"), 1);
    }
    {
        // An undecoded tag and a failing descriptor do not stop the loop.
        LogCapture log(google::GLOG_ERROR);
        auto ds =
            decodeLoop({0x52, 0x01, 0x07, 0x6A, 0x01, 0x80, 0x59, 0x08, 'd', 'e', 'u', 0x10, 0, 1, 0, 1});
        ASSERT_EQ(ds.size(), 1u);
        EXPECT_EQ(ds[0]->tag, SUBTITLING_DESCRIPTOR);
        EXPECT_EQ(log.count("component_type_flag set but len < 2"), 1);
    }
    int left = 1;
    EXPECT_TRUE(decodeLoop({}, &left).empty());
    EXPECT_EQ(left, 0);
}

TEST(Descriptors, MergeKeepsTheFirstValueAndOnlyAllowedTags) {
    DvbDescriptor lang{ISO_639_LANGUAGE_DESCRIPTOR, {{ISO_639_LANGUAGE_CODE, "eng"}, {AUDIO_TYPE, "0x00"}}};
    DvbDescriptor sub{SUBTITLING_DESCRIPTOR, {{ISO_639_LANGUAGE_CODE, "deu"}, {SUBTITLING_TYPE, "0x10"}}};
    DvbDescriptor ca{CA_DESCRIPTOR, {{CA_SYSTEM_ID, 0x0B00}}};
    AttributeMap into = {{PMT_STREAM_TYPE, "x"}};
    SectionCodec::moveAttributesFromDescriptors(into, {&lang, &sub, &ca},
                                                {ISO_639_LANGUAGE_DESCRIPTOR, SUBTITLING_DESCRIPTOR});
    const AttributeMap expected = {{PMT_STREAM_TYPE, "x"},
                                   {ISO_639_LANGUAGE_CODE, "eng"},
                                   {AUDIO_TYPE, "0x00"},
                                   {SUBTITLING_TYPE, "0x10"}};
    EXPECT_EQ(into, expected);
}

TEST(Descriptors, ServiceDescriptorEncoding) {
    const DvbDescriptorCodec& codec = DvbDescriptorFactory::getInstance().codecs.at(SERVICE_DESCRIPTOR);
    struct Case {
        const char* what;
        AttributeMap attributes;
        Bytes bytes;
    };
    const std::string forty(40, 'n');
    Bytes long_name = {0x48, 0x21, 0x01, 0x00, 0x1E};
    long_name.insert(long_name.end(), 30, 'n');
    const Case cases[] = {
        {"provider and name",
         {{PROVIDER_NAME, "P"}, {SERVICE_NAME, "Service 1"}, {SERVICE_TYPE, 0x19}},
         {0x48, 0x0D, 0x01, 0x01, 'P', 0x09, 'S', 'e', 'r', 'v', 'i', 'c', 'e', ' ', '1'}},
        {"no names", {}, {0x48, 0x03, 0x01, 0x00, 0x00}},
        {"name cut to 30 bytes", {{SERVICE_NAME, forty}}, long_name},
        // Other than plain ASCII goes with the UTF-8 selector so that receivers read it right.
        {"UTF-8 name",
         {{SERVICE_NAME, "Kanal \xC3\x9C"}},
         {0x48, 0x0C, 0x01, 0x00, 0x09, 0x15, 'K', 'a', 'n', 'a', 'l', ' ', 0xC3, 0x9C}},
    };
    for (const Case& c : cases) {
        DvbDescriptor d{SERVICE_DESCRIPTOR, c.attributes};
        const unsigned needed = codec.encode(&d, nullptr, 0);
        EXPECT_EQ(needed, c.bytes.size()) << c.what;
        Bytes buf(needed + 3, 0xEE);
        EXPECT_EQ(codec.encode(&d, buf.data(), static_cast<unsigned>(buf.size())), needed) << c.what;
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + needed), c.bytes) << c.what;
        EXPECT_EQ(buf[needed], 0xEE) << c.what;
        // What we write reads back as what we meant (up to the cut and the fixed service type).
        auto back = decode(c.bytes);
        ASSERT_NE(back, nullptr);
        if (c.attributes.count(SERVICE_NAME) &&
            c.attributes.at(SERVICE_NAME).get<std::string>().size() <= 30) {
            EXPECT_EQ(text(*back, SERVICE_NAME), c.attributes.at(SERVICE_NAME).get<std::string>()) << c.what;
        }
        EXPECT_EQ(number(*back, SERVICE_TYPE), 1) << c.what;
    }
}

TEST(Descriptors, ServiceDescriptorCutsUtf8BetweenCharacters) {
    const DvbDescriptorCodec& codec = DvbDescriptorFactory::getInstance().codecs.at(SERVICE_DESCRIPTOR);
    std::string name;
    for (int i = 0; i < 20; ++i) {
        name += "\xC3\x9C";  // 40 bytes of two-byte characters
    }
    DvbDescriptor d{SERVICE_DESCRIPTOR, {{SERVICE_NAME, name}}};
    Bytes buf(64);
    const unsigned n = codec.encode(&d, buf.data(), static_cast<unsigned>(buf.size()));
    EXPECT_EQ(buf[4], 29);  // selector and 14 whole characters
    EXPECT_EQ(n, 5u + 29u);
    auto back = decode(Bytes(buf.begin(), buf.begin() + n));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(text(*back, SERVICE_NAME), name.substr(0, 28));
}

TEST(Descriptors, ServiceDescriptorEncoderFailures) {
    const DvbDescriptorCodec& codec = DvbDescriptorFactory::getInstance().codecs.at(SERVICE_DESCRIPTOR);
    DvbDescriptor d{SERVICE_DESCRIPTOR, {{SERVICE_NAME, "Service 1"}}};
    Bytes buf(13);
    LogCapture log;
    EXPECT_THROW(codec.encode(&d, buf.data(), 13), std::length_error);
    EXPECT_EQ(log.count("needed =14 len=13"), 1);
    DvbDescriptor numeric{SERVICE_DESCRIPTOR, {{SERVICE_NAME, 5}}};
    EXPECT_THROW(codec.encode(&numeric, nullptr, 0), std::bad_cast);

    DvbDescriptor other{CA_DESCRIPTOR, {}};
    LogCapture info;
    EXPECT_EQ(DvbDescriptorFactory::getInstance().codecs.at(CA_DESCRIPTOR).encode(&other, buf.data(), 13),
              0u);
    EXPECT_EQ(info.count("descriptor tag 0x09 encode not implemented"), 1);
}

TEST(Descriptors, EveryTagHasAnEntry) {
    const auto& codecs = DvbDescriptorFactory::getInstance().codecs;
    EXPECT_EQ(codecs.size(), 256u);
    FLAGS_v = 1;
    LogCapture log;
    EXPECT_EQ(decode({0x52, 0x01, 0x07}), nullptr);
    FLAGS_v = 0;
    EXPECT_EQ(log.count("descriptor tag 0x52 length 1 decode not implemented"), 1);
    EXPECT_EQ(stream_type3_component_description.size(), 16u);
}

}  // namespace

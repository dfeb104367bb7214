#include "pmt.h"

#include "utils.h"

const std::set<DescriptorType> PMT::allowed_descriptors = {MAXIMUM_BITRATE_DESCRIPTOR};
const std::set<DescriptorType> PMT::allowed_es_descriptors = {
    ISO_639_LANGUAGE_DESCRIPTOR, VIDEO_STREAM_DESCRIPTOR, MAXIMUM_BITRATE_DESCRIPTOR, AC3_DESCRIPTOR,
    ENHANCED_AC3_DESCRIPTOR,     REGISTRATION_DESCRIPTOR, TELETEXT_DESCRIPTOR,        SUBTITLING_DESCRIPTOR};

const std::unordered_map<int, std::string> pmt_stream_type_text = {
    {0x00, "ITU-T | ISO/IEC Reserved"},
    {0x01, "ISO/IEC 11172-2 Video"},
    {0x02, "Rec. ITU-T H.262 | ISO/IEC 13818-2 Video or ISO/IEC 11172-2 constrained parameter video stream"},
    {0x03, "ISO/IEC 11172-3 Audio"},
    {0x04, "ISO/IEC 13818-3 Audio"},
    {0x05, "Rec. ITU-T H.222.0 | ISO/IEC 13818-1 private_sections"},
    {0x06, "Rec. ITU-T H.222.0 | ISO/IEC 13818-1 PES packets containing private data"},
    {0x07, "ISO/IEC 13522 MHEG"},
    {0x08, "Rec. ITU-T H.222.0 | ISO/IEC 13818-1 Annex A DSM-CC"},
    {0x09, "Rec. ITU-T H.222.1"},
    {0x0A, "ISO/IEC 13818-6 type A"},
    {0x0B, "ISO/IEC 13818-6 type B"},
    {0x0C, "ISO/IEC 13818-6 type C"},
    {0x0D, "ISO/IEC 13818-6 type D"},
    {0x0E, "Rec. ITU-T H.222.0 | ISO/IEC 13818-1 auxiliary"},
    {0x0F, "ISO/IEC 13818-7 Audio with ADTS transport syntax"},
    {0x10, "ISO/IEC 14496-2 Visual"},
    {0x11, "ISO/IEC 14496-3 Audio with the LATM transport syntax as defined in ISO/IEC 14496-3"},
    {0x12, "ISO/IEC 14496-1 SL-packetized stream or FlexMux stream carried in PES packets"},
    {0x13, "ISO/IEC 14496-1 SL-packetized stream or FlexMux stream carried in ISO/IEC 14496_sections"},
    {0x14, "ISO/IEC 13818-6 Synchronized Download Protocol"},
    {0x15, "Metadata carried in PES packets"},
    {0x16, "Metadata carried in metadata_sections"},
    {0x17, "Metadata carried in ISO/IEC 13818-6 Data Carousel"},
    {0x18, "Metadata carried in ISO/IEC 13818-6 Object Carousel"},
    {0x19, "Metadata carried in ISO/IEC 13818-6 Synchronized Download Protocol"},
    {0x1A, "IPMP stream (defined in ISO/IEC 13818-11, MPEG-2 IPMP)"},
    {0x1B,
     "AVC video stream conforming to one or more profiles defined in Annex A of Rec. ITU-T H.264 ISO/IEC "
     "14496-10"},
    {0x1C, "ISO/IEC 14496-3 Audio, without using any additional transport syntax, such as DST, ALS and SLS"},
    {0x1D, "ISO/IEC 14496-17 Text"},
    {0x1E, "Auxiliary video stream as defined in ISO/IEC 23002-3"},
    {0x1F,
     "SVC video sub-bitstream of an AVC video stream conforming to one or more profiles defined in Annex G "
     "of "
     "Rec. ITU-T H.264 | ISO/IEC 14496-10"},
    {0x20,
     "MVC video sub-bitstream of an AVC video stream conforming to one or more profiles defined in Annex H "
     "of "
     "Rec. ITU-T H.264 | ISO/IEC 14496-10"},
    {0x21,
     "Video stream conforming to one or more profiles as defined in Rec. ITU-T T.800 | ISO/IEC 15444-1"},
    {0x22,
     "Additional view Rec. ITU-T H.262 | ISO/IEC 13818-2 video stream for service-compatible stereoscopic 3D "
     "services"},
    {0x23,
     "Additional view Rec. ITU-T H.264 | ISO/IEC 14496-10 video stream conforming to one or more profiles "
     "defined in Annex A for service-compatible stereoscopic 3D services"},
    {0x7F, "IPMP stream"},
};

const std::unordered_map<int, std::string> pmt_stream_type_description = {
    {0x01, "MPEG-1 Video"}, {0x02, "MPEG-2 Video"}, {0x1B, "AVC/H.264 Video"},
    {0x03, "MPEG-1 Audio"}, {0x04, "MPEG-2 Audio"}, {0x11, "MPEG-4 Audio"},
};

std::string PMT::toFancyString() const {
    static const std::string rule = "+" + std::string(44, '-') + "\n";
    std::string out;
    out.reserve(500);
    out += rule;
    out += utils::string_format("| program %d PCR PID %d\n", program_number, pcr_pid);
    appendAttributeLines(out, attributes);
    out += "+" + std::string(27, '-') + "\n";
    for (const auto& [pid, es] : streams) {
        out += utils::string_format("| ES PID %d\n", pid);
        appendAttributeLines(out, es.attributes);
        out += "|\n";
    }
    out += rule;
    return out;
}

#include "pmtcodec.h"

#include <glog/logging.h>

#include <cstring>

#include "bytereader.h"
#include "dvb/psisi/descriptors/descriptorfactory.h"
#include "orm/attributenames.h"
#include "utils.h"

namespace {

// Decodes a descriptor loop, keeps the allowed descriptors' attributes and frees the rest.
void takeAttributes(const ByteReader& r, unsigned offset, unsigned length, AttributeMap& into,
                    const std::set<DescriptorType>& allowed) {
    if (length == 0) {
        return;
    }
    std::vector<DvbDescriptor*> descriptors;
    DvbDescriptorFactory::getInstance().decodeDescriptorLoop(r.ptr(offset, length), length, &descriptors);
    SectionCodec::moveAttributesFromDescriptors(into, descriptors, allowed);
    for (DvbDescriptor* d : descriptors) {
        delete d;
    }
}

std::string streamTypeText(int stream_type) {
    auto it = pmt_stream_type_text.find(stream_type);
    if (it != pmt_stream_type_text.end()) {
        return utils::string_format("0x%02X - %s", stream_type, it->second.c_str());
    }
    if (stream_type >= 0x24 && stream_type <= 0x7E) {
        return utils::string_format("0x%02X - Rec. ITU-T H.222.0 | ISO/IEC 13818-1 Reserved", stream_type);
    }
    return utils::string_format("0x%02X - User Private", stream_type);
}

}  // namespace

std::unique_ptr<Section> PmtCodec::decodeSection(const SectionData* sd) {
    checkSection(sd, 12, ST_PMT);
    const unsigned n = sd->length;
    auto pmt = std::make_unique<PMT>(sd);
    pmt->version = static_cast<int>(sd->version_number);
    pmt->program_number = static_cast<int>(sd->table_id_extension);

    const ByteReader header(sd->bytes, n, "Too short section data");
    pmt->pcr_pid = header.u16(8) & 0x1FFF;
    const unsigned pil = header.u16(10) & 0x0FFF;
    int remaining = static_cast<int>(n) - 16 - static_cast<int>(pil);
    if (remaining < 0) {
        throw std::length_error("Too short section data");
    }

    // Everything after the fixed header up to the CRC; no loop may reach into the CRC.
    const ByteReader body(sd->bytes, n - 4, "Too short section data");
    takeAttributes(body, 12, pil, pmt->attributes, PMT::allowed_descriptors);
    const unsigned char* info = body.ptr(12, pil);
    pmt->program_info.assign(info, info + pil);

    unsigned offset = 12 + pil;
    while (remaining > 4) {
        const int stream_type = body.u8(offset);
        const int pid = body.u16(offset + 1) & 0x1FFF;
        PmtEsPayload& es = pmt->streams[pid];
        es.pid = pid;
        es.stream_type = stream_type;
        es.attributes.emplace(PMT_STREAM_TYPE, streamTypeText(stream_type));

        const unsigned eil = body.u16(offset + 3) & 0x0FFF;
        remaining -= 5;
        // An ES_info_length beyond the section keeps what is there, and the kept entry says so,
        // so that it can be sent on as a well-formed entry.
        const unsigned present = body.clamp(offset + 5, eil);
        takeAttributes(body, offset + 5, present, es.attributes, PMT::allowed_es_descriptors);
        const unsigned char* entry = body.ptr(offset, 5 + present);
        es.raw.assign(entry, entry + 5 + present);
        if (present != eil) {
            es.raw[3] = static_cast<unsigned char>((es.raw[3] & 0xF0) | ((present >> 8) & 0x0F));
            es.raw[4] = static_cast<unsigned char>(present & 0xFF);
        }
        remaining -= static_cast<int>(eil);
        offset += 5 + eil;
        es.es_class = getElementaryStreamClass(es);
    }
    if (remaining != 0) {
        LOG(WARNING) << "remaining=" << remaining;
    }
    return pmt;
}

EsClass PmtCodec::getElementaryStreamClass(const PmtEsPayload& es) {
    switch (es.stream_type) {
        case 0x01:
        case 0x02:
        case 0x1B:
        case 0x42:
        case 0xEA:
            return ES_VIDEO;
        case 0x03:
        case 0x04:
        case 0x0F:
        case 0x11:
        case 0x81:
            return ES_AUDIO;
        case 0x06:
            if (es.attributes.count(AC3_TYPE)) {
                return ES_AUDIO;
            }
            if (es.attributes.count(SUBTITLING_TYPE)) {
                return ES_SUBTITLE;
            }
            if (es.attributes.count(TELETEXT_TYPE)) {
                return ES_TELETEXT;
            }
            return ES_OTHER;
        default:
            return ES_OTHER;
    }
}

unsigned PmtCodec::encodeSection(const Section* section, SectionData* sd) {
    const PMT& pmt = dynamic_cast<const PMT&>(*section);
    const unsigned pil = static_cast<unsigned>(pmt.program_info.size());
    size_t streams_size = 0;
    for (const auto& entry : pmt.streams) {
        streams_size += entry.second.raw.size();
    }
    checkEncodedLength(pil + streams_size + 13);
    const unsigned section_length = pil + static_cast<unsigned>(streams_size) + 13;
    writeHeader(sd, ST_PMT, section_length, pmt.program_number);
    unsigned char* b = sd->bytes;
    b[8] = static_cast<unsigned char>(0xE0 | ((pmt.pcr_pid >> 8) & 0x1F));
    b[9] = static_cast<unsigned char>(pmt.pcr_pid & 0xFF);
    b[10] = static_cast<unsigned char>(0xF0 | ((pil >> 8) & 0x0F));
    b[11] = static_cast<unsigned char>(pil & 0xFF);
    unsigned offset = 12;
    if (pil > 0) {
        memcpy(b + offset, pmt.program_info.data(), pil);
        offset += pil;
    }
    for (const auto& entry : pmt.streams) {
        const std::vector<unsigned char>& raw = entry.second.raw;
        if (!raw.empty()) {
            memcpy(b + offset, raw.data(), raw.size());
            offset += static_cast<unsigned>(raw.size());
        }
    }
    sd->length = offset;
    return offset;
}

#include "sdtcodec.h"

#include <glog/logging.h>

#include "bytereader.h"
#include "dvb/psisi/descriptors/descriptorfactory.h"

std::unique_ptr<Section> SdtCodec::decodeSection(const SectionData* sd) {
    checkSection(sd, 12, ST_SDT);
    const unsigned n = sd->length;
    auto sdt = std::make_unique<SDT>(sd);
    sdt->payload.version = static_cast<int>(sd->version_number);
    sdt->payload.transport_stream_id = static_cast<int>(sd->table_id_extension);

    // The service loop ends where the CRC starts.
    const ByteReader body(sd->bytes, n - 4, "Too short section data");
    const DvbDescriptorFactory& factory = DvbDescriptorFactory::getInstance();
    int remaining = static_cast<int>(n) - 15;
    unsigned offset = 11;
    while (remaining > 4) {
        const int service_id = body.u16(offset);
        SdtServicePayload& service = sdt->payload.services[service_id];
        service.version = static_cast<int>(sd->version_number);
        const unsigned dll = body.u16(offset + 3) & 0x0FFF;
        remaining -= 5;

        std::vector<DvbDescriptor*> descriptors;
        try {
            const unsigned present = body.clamp(offset + 5, dll);
            if (present > 0) {
                factory.decodeDescriptorLoop(body.ptr(offset + 5, present), present, &descriptors);
            }
        } catch (const std::exception& e) {
            LOG(ERROR) << e.what();
        }
        moveAttributesFromDescriptors(service.attributes, descriptors, SDT::allowed_service_descriptors);
        for (DvbDescriptor* d : descriptors) {
            delete d;
        }
        offset += 5 + dll;
        remaining -= static_cast<int>(dll);
    }
    if (remaining > 0) {
        LOG(WARNING) << "remaining=" << remaining;
    }
    return sdt;
}

unsigned SdtCodec::encodeSection(const Section* section, SectionData* sd) {
    const SDT& sdt = dynamic_cast<const SDT&>(*section);
    const DvbDescriptorCodec& service_codec =
        DvbDescriptorFactory::getInstance().codecs.at(SERVICE_DESCRIPTOR);

    // One temporary service descriptor per service, kept for writing after the size check.
    std::vector<std::pair<int, DvbDescriptor>> descriptors;
    descriptors.reserve(sdt.payload.services.size());
    size_t section_length = 12;
    for (const auto& [service_id, service] : sdt.payload.services) {
        descriptors.push_back({service_id, DvbDescriptor{SERVICE_DESCRIPTOR, service.attributes}});
        section_length += 5 + service_codec.encode(&descriptors.back().second, nullptr, 0);
    }
    checkEncodedLength(section_length);

    writeHeader(sd, ST_SDT, static_cast<unsigned>(section_length), 0x0002);
    unsigned char* b = sd->bytes;
    b[8] = 0x00;
    b[9] = 0x00;
    b[10] = 0x00;
    unsigned offset = 11;
    for (auto& [service_id, descriptor] : descriptors) {
        const unsigned dlen =
            service_codec.encode(&descriptor, b + offset + 5, SectionData::MAX_SIZE - offset - 5);
        b[offset] = static_cast<unsigned char>(service_id >> 8);
        b[offset + 1] = static_cast<unsigned char>(service_id);
        b[offset + 2] = 0x00;
        b[offset + 3] = static_cast<unsigned char>(0x80 | ((dlen >> 8) & 0x0F));
        b[offset + 4] = static_cast<unsigned char>(dlen & 0xFF);
        offset += 5 + dlen;
    }
    sd->length = offset;
    return offset;
}

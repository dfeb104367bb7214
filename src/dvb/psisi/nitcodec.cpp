#include "nitcodec.h"

#include <glog/logging.h>

#include "bytereader.h"
#include "dvb/psisi/descriptors/descriptorfactory.h"
#include "utils.h"

namespace {

// Decodes the part of a descriptor loop that lies inside the section into the NIT's attributes.
void takeDescriptors(NIT& nit, const ByteReader& body, unsigned offset, unsigned length) {
    const unsigned present = body.clamp(offset, length);
    if (present == 0) {
        return;
    }
    std::vector<DvbDescriptor*> descriptors;
    DvbDescriptorFactory::getInstance().decodeDescriptorLoop(body.ptr(offset, present), present,
                                                             &descriptors);
    for (DvbDescriptor* d : descriptors) {
        nit.appendAttributesFromDescriptor(d);
        delete d;
    }
}

}  // namespace

std::unique_ptr<Section> NitCodec::decodeSection(const SectionData* sd) {
    checkSection(sd, 14, ST_NIT);
    const int n = static_cast<int>(sd->length);
    auto nit = std::make_unique<NIT>(sd);
    nit->payload.version = static_cast<int>(sd->version_number);
    nit->payload.network_id = static_cast<int>(sd->table_id_extension);

    // Both loops end where the CRC starts, whatever their lengths claim.
    const ByteReader body(sd->bytes, sd->length - 4, "Too short section data");
    const unsigned ndl = body.u16(8) & 0x0FFF;
    takeDescriptors(*nit, body, 10, ndl);

    // A network loop running past the data leaves no transport stream loop length to read.
    int tsll = body.has(10 + ndl, 2) ? body.u16(10 + ndl) & 0x0FFF : 0;
    const int remaining = n - static_cast<int>(ndl) - 16;
    if (tsll != remaining) {
        LOG(WARNING) << utils::string_format("transport_stream_loop_length %d != remaining %d", tsll,
                                             remaining);
    }
    unsigned offset = 12 + ndl;
    while (tsll > 5 && body.has(offset, 6)) {
        const int tsid = body.u16(offset);
        const int onid = body.u16(offset + 2);
        const unsigned tdl = body.u16(offset + 4) & 0x0FFF;
        NitTransportStreamPayload& entry = nit->payload.transport_streams[tsid];
        entry.version = nit->payload.version;
        entry.transport_stream_id = tsid;
        entry.original_network_id = onid;
        takeDescriptors(*nit, body, offset + 6, tdl);
        tsll -= 6 + static_cast<int>(tdl);
        offset += 6 + tdl;
    }
    if (tsll > 0) {
        LOG(WARNING) << "remaining_transport_stream_loop_length=" << tsll;
    }
    return nit;
}

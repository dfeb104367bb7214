#include "patcodec.h"

#include <glog/logging.h>

#include "bytereader.h"
#include "pat.h"

std::unique_ptr<Section> PatCodec::decodeSection(const SectionData* sd) {
    checkSection(sd, 12, ST_PAT);
    auto pat = std::make_unique<PAT>(sd);
    pat->payload.version = static_cast<int>(sd->version_number);
    pat->payload.transport_stream_id = static_cast<int>(sd->table_id_extension);

    // The entries lie between the header and the CRC.
    const ByteReader r(sd->bytes, sd->length - 4, "Too short section data");
    unsigned offset = 8;
    unsigned remaining = sd->length - 12;
    for (; remaining >= 4; remaining -= 4, offset += 4) {
        const int program = r.u16(offset);
        const int pid = r.u16(offset + 2) & 0x1FFF;
        if (program == 0) {
            pat->payload.nid_pid = pid;
        } else {
            pat->payload.programs.emplace(program, pid);
        }
    }
    if (remaining > 0) {
        LOG(WARNING) << "remaining=" << remaining;
    }
    return pat;
}

unsigned PatCodec::encodeSection(const Section* section, SectionData* sd) {
    const PAT& pat = dynamic_cast<const PAT&>(*section);
    const unsigned count = static_cast<unsigned>(pat.payload.programs.size());
    const unsigned section_length = 4 * count + 9;
    checkEncodedLength(section_length);
    writeHeader(sd, ST_PAT, section_length, 0x0002);
    unsigned char* b = sd->bytes;
    unsigned offset = 8;
    for (const auto& [program, pid] : pat.payload.programs) {
        b[offset] = static_cast<unsigned char>(program >> 8);
        b[offset + 1] = static_cast<unsigned char>(program);
        b[offset + 2] = static_cast<unsigned char>(0xE0 | ((pid >> 8) & 0x1F));
        b[offset + 3] = static_cast<unsigned char>(pid);
        offset += 4;
    }
    sd->length = offset;
    return offset;
}

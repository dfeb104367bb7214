// Every table decoder on arbitrary section bytes. The first byte picks the codec (its table_id is
// written over the section's first byte so that the decoder gets past its table check); tables
// that we also encode must come back unchanged from encoding and decoding again.
#include <glog/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dvb/psisi/codecfactory.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/pmt.h"
#include "dvb/psisi/psisi_utils.h"
#include "dvb/psisi/sdt.h"
#include "dvb/psisi/tdttotcodec.h"

namespace {

struct TimeCodec : TdtTotCodec {
    uint64_t transmitIntervalUs() const override { return 0; }
};

void check(bool ok) {
    if (!ok) {
        abort();
    }
}

std::unique_ptr<Section> reencode(SectionCodec* codec, const Section* table) {
    SectionData out;
    out.version_number = static_cast<uint32_t>(table->version_number);
    try {
        codec->encodeSection(table, &out);
    } catch (const std::length_error&) {
        return nullptr;  // too large for one output section
    }
    out.appendCrc32();
    check(out.checkCrc32());
    const uint32_t length = out.length;
    out.decodeHeader(out.bytes, length);
    out.length = length;
    return codec->decodeSection(&out);
}

void roundTrip(SectionCodec* codec, const Section* table) {
    std::unique_ptr<Section> back = reencode(codec, table);
    if (!back) {
        return;
    }
    switch (table->getSectionType()) {
        case ST_PAT:
            check(static_cast<const PAT*>(back.get())->payload.programs ==
                  static_cast<const PAT*>(table)->payload.programs);
            break;
        case ST_PMT: {
            const PMT* a = static_cast<const PMT*>(table);
            const PMT* b = static_cast<const PMT*>(back.get());
            check(a->program_info == b->program_info && a->pcr_pid == b->pcr_pid &&
                  a->streams.size() == b->streams.size());
            for (const auto& [pid, es] : a->streams) {
                check(b->streams.count(pid) == 1 && b->streams.at(pid).raw == es.raw);
            }
            break;
        }
        case ST_SDT:
            check(static_cast<const SDT*>(back.get())->payload.services.size() ==
                  static_cast<const SDT*>(table)->payload.services.size());
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every log line is still formatted, none is written.
    FLAGS_minloglevel = google::GLOG_FATAL;
    FLAGS_v = 1;
    psisi_utils::generate_crc_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size - 1 > SectionData::MAX_SIZE) {
        return 0;
    }
    static const int table_ids[] = {0x00, 0x02, 0x42, 0x40, 0x70, 0x73};
    const int table_id = table_ids[data[0] % 6];
    SectionData sd;
    memcpy(sd.bytes, data + 1, size - 1);
    sd.bytes[0] = static_cast<unsigned char>(table_id);
    sd.decodeHeader(sd.bytes, static_cast<unsigned>(size - 1));
    sd.table_id = static_cast<uint32_t>(table_id);
    sd.length = static_cast<uint32_t>(size - 1);

    TimeCodec time_codec;
    SectionCodec* codec = table_id >= 0x70 ? &time_codec : CodecFactory::getInstance().codecs.at(table_id);
    std::unique_ptr<Section> table;
    try {
        table = codec->decodeSection(&sd);
    } catch (const std::exception&) {
        return 0;
    }
    check(table != nullptr && table->getSectionType() == (table_id >= 0x70 ? ST_TDT_TOT : table_id));
    table->toFancyString();
    if (table_id == 0x00 || table_id == 0x02 || table_id == 0x42) {
        roundTrip(codec, table.get());
    }
    return 0;
}

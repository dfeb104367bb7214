#include "tdttotcodec.h"

#include <stdexcept>

#include "bytereader.h"
#include "psisi_utils.h"

std::unique_ptr<Section> TdtTotCodec::decodeSection(const SectionData* sd) {
    if (sd->table_id != 0x70 && sd->table_id != 0x73) {
        throw std::invalid_argument("Bad table_id");
    }
    if (sd->length < 3) {
        throw std::length_error("Too short section data");
    }
    auto table = std::make_unique<TdtTot>(sd);
    // The 5-byte UTC_time must be there in full.
    const ByteReader r(sd->bytes, sd->length, "Too short section data");
    psisi_utils::mjd_to_tm(r.u16(3), &table->utc);
    psisi_utils::utc_to_tm(r.u24(5), &table->utc);
    clock_gettime(CLOCK_REALTIME, &table->sys_time);
    return table;
}

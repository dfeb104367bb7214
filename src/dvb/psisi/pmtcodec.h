#pragma once

#include "pmt.h"
#include "sectioncodec.h"

class PmtCodec : public SectionCodec {
  public:
    std::unique_ptr<Section> decodeSection(const SectionData* sd) override;
    // Writes program_info and every stream's raw entry as they are held.
    unsigned encodeSection(const Section* section, SectionData* sd) override;
    uint64_t transmitIntervalUs() const override { return 500000; }

    static EsClass getElementaryStreamClass(const PmtEsPayload& es);
};

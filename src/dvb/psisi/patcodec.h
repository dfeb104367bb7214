#pragma once

#include "sectioncodec.h"

class PatCodec : public SectionCodec {
  public:
    std::unique_ptr<Section> decodeSection(const SectionData* sd) override;
    // Writes transport_stream_id 2 (the value every output uses) and no network PID entry.
    unsigned encodeSection(const Section* section, SectionData* sd) override;
    uint64_t transmitIntervalUs() const override { return 500000; }
};

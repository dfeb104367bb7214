#pragma once

#include "nit.h"
#include "sectioncodec.h"

// Decodes the NIT; NITs are never generated.
class NitCodec : public SectionCodec {
  public:
    std::unique_ptr<Section> decodeSection(const SectionData* sd) override;
    unsigned encodeSection(const Section*, SectionData*) override { return 0; }
    uint64_t transmitIntervalUs() const override { return 1000000; }
};

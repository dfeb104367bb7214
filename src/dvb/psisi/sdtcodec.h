#pragma once

#include "sdt.h"
#include "sectioncodec.h"

class SdtCodec : public SectionCodec {
  public:
    std::unique_ptr<Section> decodeSection(const SectionData* sd) override;
    // One running service with one service descriptor per service; transport_stream_id 2 and
    // original_network_id 0, the values every output uses.
    unsigned encodeSection(const Section* section, SectionData* sd) override;
    uint64_t transmitIntervalUs() const override { return 500000; }
};

#pragma once

#include "sectioncodec.h"
#include "tdttot.h"

// Decodes TDT and TOT sections. It names no repetition interval, as time tables are never sent,
// so it stays abstract and is not part of the codec registry.
class TdtTotCodec : public SectionCodec {
  public:
    std::unique_ptr<Section> decodeSection(const SectionData* sd) override;
    unsigned encodeSection(const Section*, SectionData*) override { return 0; }
};

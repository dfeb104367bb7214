#pragma once

#include <unordered_map>

#include "sectioncodec.h"

// The process-wide table_id -> codec registry (PAT, PMT, SDT and NIT). Look-ups go through
// codecs.at(), which throws std::out_of_range for a table_id without codec.
class CodecFactory {
  public:
    static CodecFactory& getInstance();

    std::unordered_map<int, SectionCodec*> codecs;

  private:
    CodecFactory();
};

#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "dvb/psisi/section.h"
#include "dvb/psisi/sectiondata.h"
#include "fastdelegate.h"
#include "tspacket.h"

// Anything that produces due TS packets for an output when it is polled.
class OutputBuffer {
  public:
    virtual ~OutputBuffer() = default;
    // Appends the packets that are due at `now_us` (monotonic microseconds) to `queue`, taking
    // descriptors from `allocate`, and returns the microseconds until it is due again.
    virtual uint64_t output(uint64_t now_us, std::deque<TsPacket*>* queue,
                            fastdelegate::FastDelegate0<TsPacket*>& allocate) = 0;
    virtual std::string toString() const = 0;
};

// Sends one table, encoded as one section, on one PID of an output: one TS packet per
// repetition interval of the table, so a section of k packets is repeated every k intervals.
class PsisiGenerator : public OutputBuffer {
  public:
    // Polled again this soon while the generator has no table yet.
    static constexpr uint64_t NO_TABLE_RETRY_US = 100000;

    PsisiGenerator(int pid, uint32_t sid);
    PsisiGenerator(const PsisiGenerator&) = delete;
    PsisiGenerator& operator=(const PsisiGenerator&) = delete;

    // Encodes a new table with the next version (the first table gets version 1). The new
    // section goes out from its start in the next packet. On an encoding failure the previous
    // table stays on air.
    void setEncodedTable(const std::unique_ptr<Section>& table);

    uint64_t output(uint64_t now_us, std::deque<TsPacket*>* queue,
                    fastdelegate::FastDelegate0<TsPacket*>& allocate) override;
    std::string toString() const override;

    // Version of the table on air (0 before the first table).
    int version() const;

    const int pid;
    const uint32_t sid;

  private:
    // -1 at creation and 0 after a new table: both mean a packet is due at once.
    int64_t last_output_time = -1;
    std::unique_ptr<SectionData> section;
    mutable std::mutex lock;
    std::string name;
    uint64_t interval = 0;
    int continuity_counter = 0;
    unsigned pool_empty_count = 0;
};

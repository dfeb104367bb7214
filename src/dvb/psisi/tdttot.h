#pragma once

#include <ctime>
#include <string>

#include "section.h"

// A time and date table or time offset table: the UTC time it carried and the system clock when
// it was decoded.
class TdtTot : public Section {
  public:
    using Section::Section;

    std::string toFancyString() const override;
    SectionType getSectionType() const override { return ST_TDT_TOT; }

    // Seconds since 1970-01-01 00:00:00 UTC of utc.
    int32_t tsToEpoch() const;
    time_t sysToEpoch() const { return sys_time.tv_sec; }

    // Full year and months from 1 (the convention of utils::mkgmtime); only the date and time
    // fields are set.
    struct tm utc = {};
    struct timespec sys_time = {};
};

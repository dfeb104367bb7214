#pragma once

#include <cstdint>
#include <string>

#include "orm/attributevalue.h"
#include "sectiondata.h"

// Kind of a decoded table; the value is its table_id.
enum SectionType : int {
    ST_PAT = 0x00,
    ST_PMT = 0x02,
    ST_NIT = 0x40,
    ST_SDT = 0x42,
    ST_TDT_TOT = 0x70,
};

// A decoded PSI/SI table: the section header it came from (or will be written with) and, in the
// derived classes, the table's content.
class Section {
  public:
    // A table built for output: current, everything else 0.
    explicit Section(SectionType type);
    // The header of a received section.
    explicit Section(const SectionData* sd);
    virtual ~Section() = default;

    virtual std::string toFancyString() const = 0;
    virtual SectionType getSectionType() const = 0;

    int32_t table_id;
    int32_t section_syntax_indicator = 0;
    int32_t version_number = 0;
    int32_t table_id_extension = 0;
    int32_t section_length = 0;
    int32_t section_number = 0;
    int32_t last_section_number = 0;
    int32_t current_next_indicator = 1;

  protected:
    // One "| +- name : value" line per attribute, as every table dump shows them.
    static void appendAttributeLines(std::string& out, const AttributeMap& attributes);
};

#include "section.h"

#include "utils.h"

Section::Section(SectionType type) : table_id(type) {}

Section::Section(const SectionData* sd)
    : table_id(static_cast<int32_t>(sd->table_id)),
      section_syntax_indicator(static_cast<int32_t>(sd->section_syntax_indicator)),
      version_number(static_cast<int32_t>(sd->version_number)),
      table_id_extension(static_cast<int32_t>(sd->table_id_extension)),
      section_length(static_cast<int32_t>(sd->section_length)),
      section_number(static_cast<int32_t>(sd->section_number)),
      last_section_number(static_cast<int32_t>(sd->last_section_number)),
      current_next_indicator(static_cast<int32_t>(sd->current_next_indicator)) {}

void Section::appendAttributeLines(std::string& out, const AttributeMap& attributes) {
    for (const auto& [name, value] : attributes) {
        out += utils::string_format("| +- %s : %s\n", name.c_str(), value.toString().c_str());
    }
}

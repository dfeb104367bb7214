#include "programinformation.h"

#include "utils.h"

std::string StreamProgram::toString() const {
    return utils::string_format("(%u:%d)", sid, program_number);
}

std::ostream& operator<<(std::ostream& os, const StreamProgram& sp) {
    return os << sp.toString();
}

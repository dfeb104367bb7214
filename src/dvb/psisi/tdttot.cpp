#include "tdttot.h"

#include "utils.h"

int32_t TdtTot::tsToEpoch() const {
    return utils::mkgmtime(&utc);
}

std::string TdtTot::toFancyString() const {
    static const std::string rule = "+" + std::string(55, '-') + "\n";
    std::string out;
    out.reserve(150);
    out += rule;
    out += utils::string_format("|  UTC time is %d.%02d.%02d %02d:%02d:%02d\n", utc.tm_mday, utc.tm_mon,
                                utc.tm_year, utc.tm_hour, utc.tm_min, utc.tm_sec);
    out += rule;
    return out;
}

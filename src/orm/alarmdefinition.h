#pragma once

#include <string>

// An enabled alarm definition: the attribute it watches and its level.
struct AlarmDefinition {
    int id = -1;
    std::string attr_id;
    int lvl = 0;
};

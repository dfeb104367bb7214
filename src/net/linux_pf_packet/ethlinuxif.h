#pragma once

#include <gflags/gflags.h>

// Dotted destination address of the input stream whose frames are recorded to a file.
DECLARE_string(saveinput);

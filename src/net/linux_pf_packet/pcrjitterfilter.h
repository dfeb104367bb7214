#pragma once

#include <gflags/gflags.h>

DECLARE_int32(pcr_verbose_sid);

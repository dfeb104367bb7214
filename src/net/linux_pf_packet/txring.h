#pragma once

#include <gflags/gflags.h>

DECLARE_int32(tx_verbose_sid);
DECLARE_int32(non_pcr_interframe_gap);
DECLARE_int32(tx_delay);

#include "pcrjitterfilter.h"

DEFINE_int32(pcr_verbose_sid, -1, "Verbose PCR debug for this SID");

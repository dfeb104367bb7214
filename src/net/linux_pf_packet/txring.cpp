#include "txring.h"

DEFINE_int32(tx_verbose_sid, -1, "Verbose PCR debug for this SID");
DEFINE_int32(non_pcr_interframe_gap, 2200,
             "Minimal interframe gap for outgoing ethernet frames (in TSC units).");
DEFINE_int32(tx_delay, 150, "Insert delay for outgoing packets in [ms]");

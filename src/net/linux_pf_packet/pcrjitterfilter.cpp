#include "pcrjitterfilter.h"

#include <glog/logging.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "utils.h"

DEFINE_int32(pcr_verbose_sid, -1, "Verbose PCR debug for this SID");

namespace {

// Every constant assumes 50 MHz ticks.
constexpr unsigned long long PCR_WRAP = 4772185884996ull;  // about 95444 s of 33-bit PCR
constexpr unsigned int FILL_TIME = 250000000;              // 5 s of PCR time
constexpr long long TIME_JUMP = 5000000;                   // 100 ms

}  // namespace

PcrJitterFilter::PcrJitterFilter() : wrap(PCR_WRAP), max_window(WINDOW), fill_time(FILL_TIME) {}

void PcrJitterFilter::init(unsigned int sid_, unsigned int delay_) {
    sid = sid_;
    delay = delay_;
}

void PcrJitterFilter::reset(unsigned int delay_) {
    base_arrival = last_arrival = base_pcr = prev_pcr = prev_out = UNSET;
    skew = 0;
    pcr_offset = 0;
    filling = true;
    fill_idx = 0;
    min = 0;
    size = 0;
    delay = delay_;
}

void PcrJitterFilter::restart(unsigned long long arrival, unsigned long long pcr) {
    base_arrival = arrival;
    base_pcr = pcr;
    prev_out = UNSET;
    filling = true;
    fill_idx = 0;
    min = 0;
    size = 0;
    skew = 0;
}

bool PcrJitterFilter::verbose() const {
    return VLOG_IS_ON(2) || (VLOG_IS_ON(1) && static_cast<int>(sid) == FLAGS_pcr_verbose_sid);
}

void PcrJitterFilter::resync(unsigned long long arrival, unsigned long long pcr, bool full) {
    base_arrival = arrival;
    base_pcr = pcr;
    prev_out = UNSET;
    if (full) {
        fill_idx = 0;
        min = 0;
        size = 0;
        skew = 0;
        filling = true;
    }
}

long long PcrJitterFilter::calculateSkew(unsigned long long pcr, unsigned long long arrival) {
    const bool talk = verbose();
    unsigned long long P = pcr + pcr_offset;

    if (base_arrival == UNSET) {
        base_arrival = arrival;
        prev_out = UNSET;
        LOG(INFO) << utils::string_format("SID %u: new base time %lld", sid, static_cast<long long>(arrival));
    }
    if (base_pcr == UNSET) {
        base_pcr = P;
        prev_pcr = UNSET;
        LOG(INFO) << utils::string_format("SID %u: new base PCR %lld", sid, static_cast<long long>(P));
    }
    if (prev_pcr != UNSET && prev_pcr > P) {
        if (prev_pcr - P > wrap / 2) {
            LOG(INFO) << utils::string_format("SID %u: PCR wrap prev_pcr %lld to pcr %llu", sid,
                                              static_cast<long long>(prev_pcr), P);
            pcr_offset += wrap;
            P = pcr + pcr_offset;
        } else {
            LOG(INFO) << utils::string_format("SID %u: backward PCR prev_pcr %lld to pcr %llu", sid,
                                              static_cast<long long>(prev_pcr), P);
            restart(arrival, P);
        }
    }
    prev_pcr = P;
    unsigned long long dP = P - base_pcr;

    if (arrival != last_arrival) {
        unsigned long long dA = arrival - base_arrival;
        long long delta = static_cast<long long>(dA - dP);
        if (talk) {
            LOG(INFO) << utils::string_format(
                "SID %u:\n            \trecv_diff %llu\n            \tsend_diff %llu\n            \t    "
                "delta "
                "%lld\n            \t     skew %lld",
                sid, dA, dP, delta, skew);
        }
        if (std::llabs(delta - skew) > TIME_JUMP) {
            LOG(INFO) << utils::string_format(
                "SID %u: time jump, resync\n                                        \tdelta %lld\n        "
                "                                \t skew %lld",
                sid, delta, skew);
            restart(arrival, P);
            delta = 0;
            dP = 0;
        }

        const unsigned int i = fill_idx;
        if (filling) {
            if (talk)
                LOG(INFO) << utils::string_format("SID %u: initial filling [%d] = %lld", sid,
                                                  static_cast<int>(i), delta);
            window[i] = delta;
            if (i == 0 || delta < min)
                min = delta;
            if (dP >= fill_time || i + 1 >= max_window) {
                size = i + 1;
                LOG(INFO) << utils::string_format(
                    "SID %u: filling complete, window size %d, initial skew %lld", sid,
                    static_cast<int>(size), min);
                filling = false;
                skew = min;
            } else {
                long long w = std::max<long long>((i + 1) * 100ll / max_window,
                                                  static_cast<long long>(dP * 100 / fill_time));
                long long w2 = w * w;
                skew = (min * w2 + skew * (10000 - w2)) / 10000;
                size = i + 2;
            }
        } else {
            const long long evicted = window[i];
            window[i] = delta;
            if (delta <= min) {
                min = delta;
            } else if (evicted == min) {
                // Another sample equal to the evicted minimum keeps it; otherwise rescan.
                long long smallest = std::numeric_limits<long long>::max();
                bool kept = false;
                for (unsigned int k = 0; k < size; ++k) {
                    if (window[k] == evicted) {
                        kept = true;
                        break;
                    }
                    if (window[k] < smallest)
                        smallest = window[k];
                }
                if (!kept)
                    min = smallest;
            }
            skew = (124 * skew + min) / 125;
            if (talk)
                LOG(INFO) << utils::string_format("SID %u: skew %lld", sid, skew);
        }
        fill_idx = i + 1 < size ? i + 1 : 0;
    }

    const unsigned long long line = base_arrival + dP;
    unsigned long long out;
    if (skew < 0 && 0ull - static_cast<unsigned long long>(skew) > line)
        out = 0;
    else
        out = line + static_cast<unsigned long long>(skew);

    if (prev_out != UNSET && prev_out > out) {
        LOG(INFO) << utils::string_format("SID %u: backward out_time %llu prev_out_time %lld", sid, out,
                                          static_cast<long long>(prev_out));
        out = prev_out;
    }
    last_arrival = arrival;
    prev_out = out;
    if (talk)
        LOG(INFO) << utils::string_format("skew %lld, out %llu", skew, out);
    return static_cast<long long>(out);
}

std::string PcrJitterFilter::getStatsString() const {
    return utils::string_format("skew = %lld", skew);
}

// Criteria on the pulses of one aperture. An absent criterion is not applied; all bounds are
// inclusive, and a comparison involving NaN does not hold, so it drops the pulse.
//
// The filter is applied while pulses are built (pulse_builder.hpp), eight pulses at a time
// (lane_filter.hpp), so that dropped pulses are never written out and kept ones are written
// once.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

namespace zpr {

struct PulseFilter {
    std::optional<uint32_t> min_dur_f;
    std::optional<float> min_dur_s;
    std::optional<float> max_dur_s;
    std::optional<float> min_snr;
    std::optional<float> min_intensity;
    std::optional<float> min_binratio;
    std::optional<float> max_binratio;
    std::optional<float> start_m;  // keep if the start time in minutes is at least this
    std::optional<float> end_m;    // keep if the end time in minutes is at most this
    std::optional<std::pair<float, float>> mask_s;  // drop pulses touching [first, second] seconds
    // Recompute ipd_f and ipd_s over the kept pulses: each kept pulse's distance to the
    // previous kept one (0 for the first), instead of to the previous pulse before filtering.
    bool recalc_ipd = false;
};

// The error of a filtered query whose pulses do not start strictly after the previous
// pulse's end (dropped pulses count, and the first pulse counts from frame 0).
inline constexpr const char* kUnsortedPulsesMessage = "The provided pulses aren't sorted!";

}  // namespace zpr

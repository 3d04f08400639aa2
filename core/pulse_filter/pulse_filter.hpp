// Criteria on the pulses of one aperture. An absent criterion is not applied; all bounds are
// inclusive, and a comparison involving NaN does not hold, so it drops the pulse.
#pragma once

#include "pulse_reader/records/pulse_columns.hpp"

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
    bool recalc_ipd = false;  // recompute ipd_f and ipd_s over the kept pulses

    // What filtering the pulses of an aperture in parts carries from one part to the next.
    struct Carry {
        uint32_t previous_end = 0;  // end_f of the last pulse seen, kept or not
        bool kept_any = false;
        uint32_t kept_end = 0;  // end_f of the last kept pulse
    };

    // Filters rows `first` on of `pulses`, the next part of an aperture's pulses in order, in
    // place: the kept pulses stay, in order. `carry` starts default-constructed for the first
    // part of an aperture. Queries filter each piece of pulses as soon as it is built, while
    // it is still in cache. Throws Error "The provided pulses aren't sorted!" when a pulse
    // does not start strictly after the previous pulse's end (dropped pulses count).
    void filter_rows(PulseColumns& pulses, std::size_t first, Carry& carry, float fps) const;

private:
    // Clears keep[i] for every pulse (row first + i) that a criterion drops, one criterion
    // at a time.
    void apply_criteria(const PulseColumns& pulses, std::size_t first, float fps, Column<uint8_t>& keep) const;
};

}  // namespace zpr

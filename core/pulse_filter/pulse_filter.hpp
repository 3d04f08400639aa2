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

    // The kept pulses in input order. Throws Error "The provided pulses aren't sorted!" when
    // a pulse does not start strictly after the previous pulse's end (dropped pulses count).
    // The pulses are filtered in their own columns: pass them with std::move unless the
    // caller still needs them.
    PulseColumns filter_pulses(PulseColumns pulses, float fps) const;

private:
    // Clears keep[i] for every pulse that a criterion drops, one criterion at a time.
    void apply_criteria(const PulseColumns& pulses, float fps, Column<uint8_t>& keep) const;
};

}  // namespace zpr

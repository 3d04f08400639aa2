#include "pulse_filter/pulse_filter.hpp"

#include "error.hpp"

namespace zpr {

bool PulseFilter::keeps(const NormalizedPulse& p, float fps, float frames_per_minute) const {
    // Each comparison is written so that it is false for NaN on either side.
    if (min_dur_f && !(p.dur_f >= *min_dur_f)) return false;
    if (min_dur_s && !(p.dur_s >= *min_dur_s)) return false;
    if (max_dur_s && !(p.dur_s <= *max_dur_s)) return false;
    if (min_snr && !(p.snr >= *min_snr)) return false;
    if (min_intensity && !(p.intensity >= *min_intensity)) return false;
    if (min_binratio && !(p.binratio >= *min_binratio)) return false;
    if (max_binratio && !(p.binratio <= *max_binratio)) return false;
    if (start_m && !(float(p.start_f) / frames_per_minute >= *start_m)) return false;
    if (end_m && !(float(p.end_f) / frames_per_minute <= *end_m)) return false;
    if (mask_s) {
        float start_s = float(p.start_f) / fps;
        float end_s = float(p.end_f) / fps;
        if (!(start_s > mask_s->second) && !(end_s < mask_s->first)) return false;
    }
    return true;
}

PulseColumns PulseFilter::filter_pulses(const PulseColumns& pulses, float fps) const {
    const float frames_per_minute = 60.0f * fps;
    // One pass for the order check and the criteria, then each kept column is gathered in a
    // tight loop of its own.
    Column<std::size_t> kept_rows;
    kept_rows.reserve(pulses.size());  // an upper bound; untouched pages cost nothing
    uint32_t previous_end = 0;
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        // Dropped pulses take part in the order check too.
        if (pulses.start_f[i] <= previous_end) throw Error("The provided pulses aren't sorted!");
        previous_end = pulses.end_f[i];
        if (keeps(pulses[i], fps, frames_per_minute)) kept_rows.push_back_reserved(i);
    }

    PulseColumns kept = pulses.rows(kept_rows);
    if (recalc_ipd) {
        for (std::size_t j = 0; j < kept.size(); ++j) {
            kept.ipd_f[j] = j == 0 ? 0 : kept.start_f[j] - kept.end_f[j - 1];
            kept.ipd_s[j] = float(kept.ipd_f[j]) / fps;
        }
    }
    return kept;
}

}  // namespace zpr

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
    PulseColumns kept;
    kept.reserve(pulses.size());  // an upper bound; untouched pages cost nothing
    uint32_t previous_end = 0;
    uint32_t kept_end = 0;
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        const NormalizedPulse pulse = pulses[i];
        if (pulse.start_f <= previous_end) throw Error("The provided pulses aren't sorted!");
        previous_end = pulse.end_f;
        if (!keeps(pulse, fps, frames_per_minute)) continue;
        NormalizedPulse copy = pulse;
        if (recalc_ipd) {
            copy.ipd_f = kept.empty() ? 0 : copy.start_f - kept_end;
            copy.ipd_s = float(copy.ipd_f) / fps;
        }
        kept_end = copy.end_f;
        kept.push_back(copy);
    }
    return kept;
}

}  // namespace zpr

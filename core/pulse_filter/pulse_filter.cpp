#include "pulse_filter/pulse_filter.hpp"

#include "error.hpp"

namespace zpr {

namespace {

// keep[i] is cleared where `holds(i)` is false. One loop per criterion over one or two
// columns: no branch per pulse, and the compiler vectorises each loop.
template <class Holds>
void require(Column<uint8_t>& keep, Holds&& holds) {
    for (std::size_t i = 0; i < keep.size(); ++i) keep[i] &= uint8_t(holds(i));
}

// True when some pulse does not start strictly after the previous pulse's end; the first
// pulse counts from frame 0.
bool out_of_order(const PulseColumns& pulses) {
    bool out = false;
    for (std::size_t i = 0; i < pulses.size(); ++i) out |= pulses.start_f[i] <= (i == 0 ? 0u : pulses.end_f[i - 1]);
    return out;
}

}  // namespace

void PulseFilter::apply_criteria(const PulseColumns& p, float fps, Column<uint8_t>& keep) const {
    const float frames_per_minute = 60.0f * fps;
    // Each comparison is written so that it is false for NaN on either side.
    if (min_dur_f) require(keep, [&, bound = *min_dur_f](std::size_t i) { return p.dur_f[i] >= bound; });
    if (min_dur_s) require(keep, [&, bound = *min_dur_s](std::size_t i) { return p.dur_s[i] >= bound; });
    if (max_dur_s) require(keep, [&, bound = *max_dur_s](std::size_t i) { return p.dur_s[i] <= bound; });
    if (min_snr) require(keep, [&, bound = *min_snr](std::size_t i) { return p.snr[i] >= bound; });
    if (min_intensity) require(keep, [&, bound = *min_intensity](std::size_t i) { return p.intensity[i] >= bound; });
    if (min_binratio) require(keep, [&, bound = *min_binratio](std::size_t i) { return p.binratio[i] >= bound; });
    if (max_binratio) require(keep, [&, bound = *max_binratio](std::size_t i) { return p.binratio[i] <= bound; });
    if (start_m)
        require(keep, [&, bound = *start_m](std::size_t i) { return float(p.start_f[i]) / frames_per_minute >= bound; });
    if (end_m)
        require(keep, [&, bound = *end_m](std::size_t i) { return float(p.end_f[i]) / frames_per_minute <= bound; });
    if (mask_s) {
        // Kept only wholly after or wholly before the closed window.
        require(keep, [&, window = *mask_s](std::size_t i) {
            return float(p.start_f[i]) / fps > window.second || float(p.end_f[i]) / fps < window.first;
        });
    }
}

PulseColumns PulseFilter::filter_pulses(PulseColumns pulses, float fps) const {
    // Dropped pulses take part in the order check too.
    if (out_of_order(pulses)) throw Error("The provided pulses aren't sorted!");

    Column<uint8_t> keep(pulses.size(), 1);
    apply_criteria(pulses, fps, keep);
    // The kept rows, listed without a branch per pulse, then gathered column by column into
    // the front of the same columns: row j comes from a row at or after j.
    Column<std::size_t> kept_rows;
    kept_rows.reserve(pulses.size() + 1);
    std::size_t* const rows = kept_rows.unfilled();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        rows[kept] = i;
        kept += keep[i];
    }
    kept_rows.mark_filled(kept);
    pulses.keep_rows(kept_rows);

    if (recalc_ipd && !pulses.empty()) {
        pulses.ipd_f[0] = 0;
        for (std::size_t j = 1; j < pulses.size(); ++j) pulses.ipd_f[j] = pulses.start_f[j] - pulses.end_f[j - 1];
        for (std::size_t j = 0; j < pulses.size(); ++j) pulses.ipd_s[j] = float(pulses.ipd_f[j]) / fps;
    }
    return pulses;
}

}  // namespace zpr

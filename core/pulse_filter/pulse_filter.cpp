#include "pulse_filter/pulse_filter.hpp"

#include "error.hpp"

namespace zpr {

namespace {

// keep[i] is cleared where `holds(a[i])` (or `holds(a[i], b[i])`) is false. One loop per
// criterion over one or two columns: no branch per pulse, and the compiler vectorises each
// loop. The columns are passed as plain pointers so that the byte stores to `keep` cannot be
// taken to change them.
template <class T, class Holds>
void require(Column<uint8_t>& keep, const Column<T>& a, Holds&& holds) {
    uint8_t* const k = &keep[0];
    const T* const x = a.data();
    for (std::size_t i = 0; i < keep.size(); ++i) k[i] &= uint8_t(holds(x[i]));
}
template <class T, class Holds>
void require(Column<uint8_t>& keep, const Column<T>& a, const Column<T>& b, Holds&& holds) {
    uint8_t* const k = &keep[0];
    const T* const x = a.data();
    const T* const y = b.data();
    for (std::size_t i = 0; i < keep.size(); ++i) k[i] &= uint8_t(holds(x[i], y[i]));
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
    if (min_dur_f) require(keep, p.dur_f, [bound = *min_dur_f](uint32_t x) { return x >= bound; });
    if (min_dur_s) require(keep, p.dur_s, [bound = *min_dur_s](float x) { return x >= bound; });
    if (max_dur_s) require(keep, p.dur_s, [bound = *max_dur_s](float x) { return x <= bound; });
    if (min_snr) require(keep, p.snr, [bound = *min_snr](float x) { return x >= bound; });
    if (min_intensity) require(keep, p.intensity, [bound = *min_intensity](float x) { return x >= bound; });
    if (min_binratio) require(keep, p.binratio, [bound = *min_binratio](float x) { return x >= bound; });
    if (max_binratio) require(keep, p.binratio, [bound = *max_binratio](float x) { return x <= bound; });
    if (start_m) {
        require(keep, p.start_f,
                [bound = *start_m, frames_per_minute](uint32_t x) { return float(x) / frames_per_minute >= bound; });
    }
    if (end_m) {
        require(keep, p.end_f,
                [bound = *end_m, frames_per_minute](uint32_t x) { return float(x) / frames_per_minute <= bound; });
    }
    if (mask_s) {
        // Kept only wholly after or wholly before the closed window.
        require(keep, p.start_f, p.end_f, [window = *mask_s, fps](uint32_t start, uint32_t end) {
            return float(start) / fps > window.second || float(end) / fps < window.first;
        });
    }
}

PulseColumns PulseFilter::filter_pulses(PulseColumns pulses, float fps) const {
    // Dropped pulses take part in the order check too.
    if (out_of_order(pulses)) throw Error("The provided pulses aren't sorted!");

    Column<uint8_t> keep(pulses.size(), 1);
    apply_criteria(pulses, fps, keep);
    pulses.keep_rows(keep);

    if (recalc_ipd && !pulses.empty()) {
        pulses.ipd_f[0] = 0;
        for (std::size_t j = 1; j < pulses.size(); ++j) pulses.ipd_f[j] = pulses.start_f[j] - pulses.end_f[j - 1];
        for (std::size_t j = 0; j < pulses.size(); ++j) pulses.ipd_s[j] = float(pulses.ipd_f[j]) / fps;
    }
    return pulses;
}

}  // namespace zpr

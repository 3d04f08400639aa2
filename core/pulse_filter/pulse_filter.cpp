#include "pulse_filter/pulse_filter.hpp"

#include "error.hpp"

namespace zpr {

namespace {

// keep[i] is cleared where `holds(a[i])` (or `holds(a[i], b[i])`) is false. One loop per
// criterion over one or two columns: no branch per pulse, and the compiler vectorises each
// loop. The columns are passed as plain pointers so that the byte stores to `keep` cannot be
// taken to change them.
template <class T, class Holds>
void require(Column<uint8_t>& keep, const T* x, Holds&& holds) {
    uint8_t* const k = &keep[0];
    for (std::size_t i = 0; i < keep.size(); ++i) k[i] &= uint8_t(holds(x[i]));
}
template <class T, class Holds>
void require(Column<uint8_t>& keep, const T* x, const T* y, Holds&& holds) {
    uint8_t* const k = &keep[0];
    for (std::size_t i = 0; i < keep.size(); ++i) k[i] &= uint8_t(holds(x[i], y[i]));
}

// True when some pulse from row `first` on does not start strictly after the previous
// pulse's end; the pulse before row `first` ended at `previous_end`.
bool out_of_order(const PulseColumns& pulses, std::size_t first, uint32_t previous_end) {
    bool out = pulses.start_f[first] <= previous_end;
    for (std::size_t i = first + 1; i < pulses.size(); ++i) out |= pulses.start_f[i] <= pulses.end_f[i - 1];
    return out;
}

}  // namespace

void PulseFilter::apply_criteria(const PulseColumns& p, std::size_t first, float fps, Column<uint8_t>& keep) const {
    const float frames_per_minute = 60.0f * fps;
    // Each comparison is written so that it is false for NaN on either side.
    if (min_dur_f) require(keep, &p.dur_f[first], [bound = *min_dur_f](uint32_t x) { return x >= bound; });
    if (min_dur_s) require(keep, &p.dur_s[first], [bound = *min_dur_s](float x) { return x >= bound; });
    if (max_dur_s) require(keep, &p.dur_s[first], [bound = *max_dur_s](float x) { return x <= bound; });
    if (min_snr) require(keep, &p.snr[first], [bound = *min_snr](float x) { return x >= bound; });
    if (min_intensity) require(keep, &p.intensity[first], [bound = *min_intensity](float x) { return x >= bound; });
    if (min_binratio) require(keep, &p.binratio[first], [bound = *min_binratio](float x) { return x >= bound; });
    if (max_binratio) require(keep, &p.binratio[first], [bound = *max_binratio](float x) { return x <= bound; });
    if (start_m) {
        require(keep, &p.start_f[first],
                [bound = *start_m, frames_per_minute](uint32_t x) { return float(x) / frames_per_minute >= bound; });
    }
    if (end_m) {
        require(keep, &p.end_f[first],
                [bound = *end_m, frames_per_minute](uint32_t x) { return float(x) / frames_per_minute <= bound; });
    }
    if (mask_s) {
        // Kept only wholly after or wholly before the closed window.
        require(keep, &p.start_f[first], &p.end_f[first], [window = *mask_s, fps](uint32_t start, uint32_t end) {
            return float(start) / fps > window.second || float(end) / fps < window.first;
        });
    }
}

void PulseFilter::filter_rows(PulseColumns& pulses, std::size_t first, Carry& carry, float fps) const {
    if (first >= pulses.size()) return;
    // Dropped pulses take part in the order check too.
    if (out_of_order(pulses, first, carry.previous_end)) throw Error("The provided pulses aren't sorted!");
    carry.previous_end = pulses.end_f[pulses.size() - 1];

    Column<uint8_t> keep(pulses.size() - first, 1);
    apply_criteria(pulses, first, fps, keep);
    pulses.keep_rows(first, keep);
    if (pulses.size() == first) return;

    if (recalc_ipd) {
        // The first kept pulse of the aperture has no kept pulse before it.
        pulses.ipd_f[first] = carry.kept_any ? pulses.start_f[first] - carry.kept_end : 0;
        for (std::size_t j = first + 1; j < pulses.size(); ++j) pulses.ipd_f[j] = pulses.start_f[j] - pulses.end_f[j - 1];
        for (std::size_t j = first; j < pulses.size(); ++j) pulses.ipd_s[j] = float(pulses.ipd_f[j]) / fps;
    }
    carry.kept_any = true;
    carry.kept_end = pulses.end_f[pulses.size() - 1];
}

}  // namespace zpr

#include "pulse_filter/pulse_filter.hpp"

#include <functional>

namespace zpr {

simd::i32x8 PulseFilter::keeps(const PulseLanes& p, float fps) const {
    using namespace simd;
    const float frames_per_minute = 60.0f * fps;
    // Comparisons give all-ones lanes where they hold, and they never hold for NaN.
    const auto at_least = [](auto values, auto bound) {
        return compare(values, splat<decltype(values)>(bound), std::greater_equal<>());
    };
    const auto at_most = [](auto values, auto bound) {
        return compare(values, splat<decltype(values)>(bound), std::less_equal<>());
    };
    i32x8 keep = splat<i32x8>(-1);
    if (min_dur_f) keep &= at_least(p.dur_f, *min_dur_f);
    if (min_dur_s) keep &= at_least(p.dur_s, *min_dur_s);
    if (max_dur_s) keep &= at_most(p.dur_s, *max_dur_s);
    if (min_snr) keep &= at_least(p.snr, *min_snr);
    if (min_intensity) keep &= at_least(p.intensity, *min_intensity);
    if (min_binratio) keep &= at_least(p.binratio, *min_binratio);
    if (max_binratio) keep &= at_most(p.binratio, *max_binratio);
    if (start_m) keep &= at_least(to_float(p.start_f) / frames_per_minute, *start_m);
    if (end_m) keep &= at_most(to_float(p.end_f) / frames_per_minute, *end_m);
    if (mask_s) {
        // Kept only wholly after or wholly before the closed window.
        const f32x8 start_s = to_float(p.start_f) / fps, end_s = to_float(p.end_f) / fps;
        keep &= compare(start_s, splat<f32x8>(mask_s->second), std::greater<>()) |
                compare(end_s, splat<f32x8>(mask_s->first), std::less<>());
    }
    return keep;
}

}  // namespace zpr

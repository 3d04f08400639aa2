// A PulseFilter made ready to judge eight pulses at a time, once per query: each bound is
// spread over all lanes up front, and the filter says which derived quantities its criteria
// look at, so that the builder computes only those (each costs a division per lane).
#pragma once

#include "pulse_filter/pulse_filter.hpp"
#include "simd.hpp"

#include <functional>

namespace zpr {

// The quantities the criteria look at, for eight pulses side by side. Only those the filter
// uses need be set.
struct PulseLanes {
    simd::u32x8 start_f, end_f, dur_f;
    simd::f32x8 dur_s, snr, intensity, binratio;
};

class LaneFilter {
public:
    LaneFilter(const PulseFilter& filter, float fps);

    bool uses_dur_s() const { return min_dur_s_.on || max_dur_s_.on; }
    bool uses_snr() const { return min_snr_.on; }
    bool uses_intensity() const { return min_intensity_.on; }
    bool uses_binratio() const { return min_binratio_.on || max_binratio_.on; }

    // The lanes whose pulse meets every criterion.
    simd::LaneMask keeps(const PulseLanes& pulses) const;

private:
    // A bound spread over four lanes, which stand for both halves of eight.
    template <class V>
    struct Bound {
        bool on = false;
        V value{};
    };
    template <class V, class T>
    static Bound<V> bound(const std::optional<T>& value) {
        return value ? Bound<V>{true, simd::splat<V>(*value)} : Bound<V>{};
    }

    Bound<simd::u32x4> min_dur_f_;
    Bound<simd::f32x4> min_dur_s_, max_dur_s_, min_snr_, min_intensity_, min_binratio_, max_binratio_, start_m_,
        end_m_, mask_first_s_, mask_second_s_;
    simd::f32x8 fps_, frames_per_minute_;
};

// -- definition, inlined into the building loop -----------------------------------------

inline simd::LaneMask LaneFilter::keeps(const PulseLanes& p) const {
    using namespace simd;
    // Comparisons set the lanes where they hold, and they never hold for NaN.
    LaneMask keep = LaneMask::every();
    auto at_least = [&](const auto& b, auto values) {
        if (b.on) keep &= compare(values, b.value, std::greater_equal<>());
    };
    auto at_most = [&](const auto& b, auto values) {
        if (b.on) keep &= compare(values, b.value, std::less_equal<>());
    };
    at_least(min_dur_f_, p.dur_f);
    at_least(min_dur_s_, p.dur_s);
    at_most(max_dur_s_, p.dur_s);
    at_least(min_snr_, p.snr);
    at_least(min_intensity_, p.intensity);
    at_least(min_binratio_, p.binratio);
    at_most(max_binratio_, p.binratio);
    if (start_m_.on || end_m_.on || mask_first_s_.on) {
        const f32x8 start = to_float(p.start_f), end = to_float(p.end_f);
        if (start_m_.on) at_least(start_m_, start / frames_per_minute_);
        if (end_m_.on) at_most(end_m_, end / frames_per_minute_);
        if (mask_first_s_.on) {
            // Kept only wholly after or wholly before the closed window.
            keep &= compare(start / fps_, mask_second_s_.value, std::greater<>()) |
                    compare(end / fps_, mask_first_s_.value, std::less<>());
        }
    }
    return keep;
}

}  // namespace zpr

// A PulseFilter made ready to judge eight pulses at a time, once per query: each bound is
// spread over all lanes up front, and the filter says which derived quantities its criteria
// look at, so that the builder computes only those (each costs a division per lane).
// Made once per query and shared by all the query's builders.
//
// The time criteria (dur_s, start_m, end_m, mask_s) compare a frame count divided by the
// frame rate. That time only grows (or only shrinks) with the count, so the counts whose
// time meets a criterion form one interval: it is found once per query, by evaluating the
// criterion itself, and the lanes then compare whole frame counts instead of dividing.
#pragma once

#include "pulse_filter/pulse_filter.hpp"
#include "simd.hpp"

#include <functional>

namespace zpr {

// The quantities the criteria look at, for eight pulses side by side. Only those the filter
// uses need be set.
struct PulseLanes {
    simd::u32x8 start_f, end_f, dur_f;
    simd::f32x8 snr, intensity, binratio;
};

class LaneFilter {
public:
    LaneFilter(const PulseFilter& filter, float fps);

    bool recalc_ipd() const { return recalc_ipd_; }
    bool uses_snr() const { return min_snr_.on; }
    bool uses_intensity() const { return min_intensity_.on; }
    bool uses_binratio() const { return min_binratio_.on || max_binratio_.on; }

    // The lanes whose pulse meets every criterion.
    simd::LaneMask keeps(const PulseLanes& pulses) const;

private:
    // A bound spread over four lanes, which stand for both halves of eight.
    struct Bound {
        bool on = false;
        simd::f32x4 value{};
    };
    static Bound bound(const std::optional<float>& value) {
        return value ? Bound{true, simd::splat<simd::f32x4>(*value)} : Bound{};
    }
    // A frame interval spread over four lanes.
    struct Frames {
        bool on = false;
        simd::u32x4 first{}, last{};
    };
    static Frames frames(uint32_t first, uint32_t last) {
        return {true, simd::splat<simd::u32x4>(first), simd::splat<simd::u32x4>(last)};
    }

    Bound min_snr_, min_intensity_, min_binratio_, max_binratio_;
    // dur_f within min_dur_f, min_dur_s and max_dur_s together; start_f within start_m;
    // end_f within end_m.
    Frames dur_f_, start_f_, end_f_;
    // Outside mask_s: started after the window, or ended before it.
    Frames started_after_mask_, ended_before_mask_;
    bool recalc_ipd_ = false;
};

// -- definition, inlined into the building loop -----------------------------------------

inline simd::LaneMask LaneFilter::keeps(const PulseLanes& p) const {
    using namespace simd;
    // Comparisons set the lanes where they hold, and they never hold for NaN.
    LaneMask keep = LaneMask::every();
    auto at_least = [&](const Bound& b, f32x8 values) {
        if (b.on) keep &= compare(values, b.value, std::greater_equal<>());
    };
    auto at_most = [&](const Bound& b, f32x8 values) {
        if (b.on) keep &= compare(values, b.value, std::less_equal<>());
    };
    auto within = [](const Frames& f, u32x8 values) {
        return compare(values, f.first, std::greater_equal<>()) & compare(values, f.last, std::less_equal<>());
    };
    if (dur_f_.on) keep &= within(dur_f_, p.dur_f);
    at_least(min_snr_, p.snr);
    at_least(min_intensity_, p.intensity);
    at_least(min_binratio_, p.binratio);
    at_most(max_binratio_, p.binratio);
    if (start_f_.on) keep &= within(start_f_, p.start_f);
    if (end_f_.on) keep &= within(end_f_, p.end_f);
    if (started_after_mask_.on)
        keep &= within(started_after_mask_, p.start_f) | within(ended_before_mask_, p.end_f);
    return keep;
}

}  // namespace zpr

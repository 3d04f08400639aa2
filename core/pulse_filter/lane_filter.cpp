#include "pulse_filter/lane_filter.hpp"

#include <algorithm>

namespace zpr {

namespace {

// The frame counts first to last, inclusive; empty when first > last.
struct FrameInterval {
    uint32_t first = 0;
    uint32_t last = UINT32_MAX;

    FrameInterval operator&(const FrameInterval& other) const {
        return {std::max(first, other.first), std::min(last, other.last)};
    }
};

// The frame counts for which `holds(count)` is true, given that they form one interval that
// reaches 0 or UINT32_MAX whenever it is not empty.
template <class Holds>
FrameInterval where(Holds holds) {
    const bool at_zero = holds(0), at_max = holds(UINT32_MAX);
    if (at_zero && at_max) return {};
    if (!at_zero && !at_max) return {1, 0};
    // Bisect for the edge: `inside` always holds, `outside` never does.
    uint64_t inside = at_zero ? 0 : UINT32_MAX, outside = at_zero ? UINT32_MAX : 0;
    while (inside + 1 != outside && outside + 1 != inside) {
        const uint64_t middle = (inside + outside) / 2;
        (holds(uint32_t(middle)) ? inside : outside) = middle;
    }
    return at_zero ? FrameInterval{0, uint32_t(inside)} : FrameInterval{uint32_t(inside), UINT32_MAX};
}

}  // namespace

LaneFilter::LaneFilter(const PulseFilter& filter, float fps)
    : min_snr_(bound(filter.min_snr)),
      min_intensity_(bound(filter.min_intensity)),
      min_binratio_(bound(filter.min_binratio)),
      max_binratio_(bound(filter.max_binratio)),
      recalc_ipd_(filter.recalc_ipd) {
    // Each time below is worked out exactly as a pulse's is: the count converted to float,
    // divided by the rate in float. Division by a constant never reverses the order of two
    // counts, and at a zero rate only the count 0 (0/0, NaN) stands apart: so each criterion
    // holds over one interval that reaches 0 or UINT32_MAX, or over none.
    const float frames_per_minute = 60.0f * fps;
    auto spread = [](FrameInterval interval) { return frames(interval.first, interval.last); };
    auto seconds = [&](uint32_t frames) { return float(frames) / fps; };
    auto minutes = [&](uint32_t frames) { return float(frames) / frames_per_minute; };

    if (filter.min_dur_f || filter.min_dur_s || filter.max_dur_s) {
        FrameInterval dur;
        if (filter.min_dur_f) dur = dur & FrameInterval{*filter.min_dur_f, UINT32_MAX};
        if (filter.min_dur_s)
            dur = dur & where([&](uint32_t f) { return seconds(f) >= *filter.min_dur_s; });
        if (filter.max_dur_s)
            dur = dur & where([&](uint32_t f) { return seconds(f) <= *filter.max_dur_s; });
        dur_f_ = spread(dur);
    }
    if (filter.start_m)
        start_f_ = spread(where([&](uint32_t f) { return minutes(f) >= *filter.start_m; }));
    if (filter.end_m)
        end_f_ = spread(where([&](uint32_t f) { return minutes(f) <= *filter.end_m; }));
    if (filter.mask_s) {
        const auto [first, second] = *filter.mask_s;
        // Kept only wholly after or wholly before the closed window.
        started_after_mask_ = spread(where([&](uint32_t f) { return seconds(f) > second; }));
        ended_before_mask_ = spread(where([&](uint32_t f) { return seconds(f) < first; }));
    }
}

}  // namespace zpr

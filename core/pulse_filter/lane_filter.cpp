#include "pulse_filter/lane_filter.hpp"

namespace zpr {

LaneFilter::LaneFilter(const PulseFilter& filter, float fps)
    : min_dur_f_(bound<simd::u32x4>(filter.min_dur_f)),
      min_dur_s_(bound<simd::f32x4>(filter.min_dur_s)),
      max_dur_s_(bound<simd::f32x4>(filter.max_dur_s)),
      min_snr_(bound<simd::f32x4>(filter.min_snr)),
      min_intensity_(bound<simd::f32x4>(filter.min_intensity)),
      min_binratio_(bound<simd::f32x4>(filter.min_binratio)),
      max_binratio_(bound<simd::f32x4>(filter.max_binratio)),
      start_m_(bound<simd::f32x4>(filter.start_m)),
      end_m_(bound<simd::f32x4>(filter.end_m)),
      fps_(simd::splat<simd::f32x8>(fps)),
      frames_per_minute_(simd::splat<simd::f32x8>(60.0f * fps)) {
    if (filter.mask_s) {
        mask_first_s_ = {true, simd::splat<simd::f32x4>(filter.mask_s->first)};
        mask_second_s_ = {true, simd::splat<simd::f32x4>(filter.mask_s->second)};
    }
}

}  // namespace zpr

// One pulse of an aperture: its place on the aperture's frame clock and the quantities
// derived from its record.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"

#include <cstdint>
#include <ranges>

namespace zpr {

struct PulseColumns;

struct NormalizedPulse {
    uint64_t index = 0;  // position of the pulse's record among all records of the aperture
    uint32_t start_f = 0;
    uint32_t end_f = 0;
    uint32_t dur_f = 0;
    float dur_s = 0.0f;
    uint32_t ipd_f = 0;  // start_f minus the previous pulse's end_f; 0 for the first pulse
    float ipd_s = 0.0f;
    float snr = 0.0f;
    float intensity = 0.0f;
    float bin0_intensity = 0.0f;
    float intensity_display = 0.0f;
    float binratio = 0.0f;
    float bg_mean = 0.0f;
    float bg_std = 0.0f;
    float bin0_bg_mean = 0.0f;
    float bin0_bg_std = 0.0f;

    // One pulse per Pulse record of `records` (one aperture, in file order), in record order.
    // `fps` is the frame rate; divisions are unguarded and follow IEEE single precision.
    // Any range of records will do, so records can be decoded as they are consumed.
    // Defined with the frame clock in frame_clock.hpp.
    template <std::ranges::input_range Records>
    static PulseColumns from_formatted_records(Records&& records, float fps);
    // The same pulses, appended to `pulses`.
    template <std::ranges::input_range Records>
    static void append_from_formatted_records(Records&& records, float fps, PulseColumns& pulses);
};

}  // namespace zpr

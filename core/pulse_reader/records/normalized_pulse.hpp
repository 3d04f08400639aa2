// Pulses of one aperture placed on its frame clock.
//
// The frame clock is a wrapping 32-bit frame count. Each record sits ipd_f frames after the
// clock; a pulse then moves the clock to its end frame, any other record to its own position.
// So a record's ipd_f counts from the end of the last pulse, or from the last non-pulse record.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace zpr {

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

    // One pulse per Pulse record, in record order. `fps` is the frame rate; divisions are
    // unguarded and follow IEEE single precision.
    static std::vector<NormalizedPulse> from_formatted_records(std::span<const FormattedRecord> records,
                                                               float fps);
};

}  // namespace zpr

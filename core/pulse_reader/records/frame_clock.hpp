// The frame clock of an aperture, on which its pulses are placed.
//
// The clock is a wrapping 32-bit frame count. Each record sits ipd_f frames after the clock;
// a pulse then moves the clock to its end frame, any other record to its own position. So a
// record's ipd_f counts from the end of the last pulse, or from the last non-pulse record.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"
#include "pulse_reader/records/pulse_columns.hpp"

#include <ranges>

namespace zpr {

class FrameClock {
public:
    explicit FrameClock(float fps) : fps_(fps) {}
    // Moves the clock past `record`; a Pulse record is appended to `pulses`.
    void advance(const FormattedRecord& record, PulseColumns& pulses);

private:
    float fps_;
    uint32_t clock_ = 0;
    uint32_t previous_end_ = 0;
    bool have_previous_ = false;
};

inline void FrameClock::advance(const FormattedRecord& record, PulseColumns& pulses) {
    const uint32_t position = clock_ + record.ipd_f;
    if (record.record_type != FormattedRecordType::Pulse) {
        clock_ = position;
        return;
    }
    NormalizedPulse pulse;
    pulse.index = record.index;
    pulse.start_f = position;
    pulse.dur_f = record.dur_f;
    pulse.end_f = position + pulse.dur_f;
    pulse.ipd_f = have_previous_ ? pulse.start_f - previous_end_ : 0;
    pulse.dur_s = float(pulse.dur_f) / fps_;
    pulse.ipd_s = float(pulse.ipd_f) / fps_;
    pulse.snr = record.bin1_intensity / record.bin1_bg_std;
    pulse.intensity = record.bin1_intensity;
    pulse.bin0_intensity = record.bin0_intensity;
    pulse.intensity_display = record.bin1_intensity + record.bin1_bg_mean;
    pulse.binratio = record.bin0_intensity / record.bin1_intensity;
    pulse.bg_mean = record.bin1_bg_mean;
    pulse.bg_std = record.bin1_bg_std;
    pulse.bin0_bg_mean = record.bin0_bg_mean;
    pulse.bin0_bg_std = record.bin0_bg_std;
    pulses.push_back(pulse);
    previous_end_ = pulse.end_f;
    have_previous_ = true;
    clock_ = pulse.end_f;
}

template <std::ranges::input_range Records>
void NormalizedPulse::append_from_formatted_records(Records&& records, float fps, PulseColumns& pulses) {
    // An upper bound: pages of the reserve that no pulse reaches are never touched.
    if constexpr (std::ranges::sized_range<Records>) pulses.reserve_more(std::ranges::size(records));
    FrameClock clock(fps);
    for (const FormattedRecord& record : records) clock.advance(record, pulses);
}

template <std::ranges::input_range Records>
PulseColumns NormalizedPulse::from_formatted_records(Records&& records, float fps) {
    PulseColumns pulses;
    append_from_formatted_records(std::forward<Records>(records), fps, pulses);
    return pulses;
}

}  // namespace zpr

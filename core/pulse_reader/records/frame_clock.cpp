#include "pulse_reader/records/frame_clock.hpp"

namespace zpr {

void FrameClock::advance(const FormattedRecord& record, PulseColumns& pulses) {
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

}  // namespace zpr

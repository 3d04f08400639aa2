#include "pulse_reader/records/normalized_pulse.hpp"

namespace zpr {

std::vector<NormalizedPulse> NormalizedPulse::from_formatted_records(std::span<const FormattedRecord> records,
                                                                     float fps) {
    std::vector<NormalizedPulse> pulses;
    uint32_t clock = 0;
    uint32_t previous_end = 0;
    bool have_previous = false;
    for (const FormattedRecord& record : records) {
        uint32_t position = clock + record.ipd_f;
        if (record.record_type != FormattedRecordType::Pulse) {
            clock = position;
            continue;
        }
        NormalizedPulse pulse;
        pulse.index = record.index;
        pulse.start_f = position;
        pulse.dur_f = record.dur_f;
        pulse.end_f = position + pulse.dur_f;
        pulse.ipd_f = have_previous ? pulse.start_f - previous_end : 0;
        pulse.dur_s = float(pulse.dur_f) / fps;
        pulse.ipd_s = float(pulse.ipd_f) / fps;
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
        previous_end = pulse.end_f;
        have_previous = true;
        clock = pulse.end_f;
    }
    return pulses;
}

}  // namespace zpr

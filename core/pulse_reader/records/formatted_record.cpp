#include "pulse_reader/records/formatted_record.hpp"

namespace zpr {

namespace {

// Kind codes carried in word 6 of step and long-pulse records.
constexpr int16_t kStepDownCode = -6;
constexpr int16_t kStepUpCode = -5;
constexpr int16_t kLongPulseUpdateCode = -3;
constexpr int16_t kLongPulseDroppedCode = -2;

// A word's signed value as a float, with no sentinels and no scaling.
float plain(uint16_t word) { return float(int16_t(word)); }

FormattedRecordType classify(const RawRecord& raw) {
    const auto& w = raw.words;
    if (w[1] != 0) return FormattedRecordType::Pulse;
    if (w[0] == 0xFFFF) return FormattedRecordType::Padding;
    switch (int16_t(w[6])) {
        case kStepDownCode: return FormattedRecordType::StepDown;
        case kStepUpCode: return FormattedRecordType::StepUp;
        case kLongPulseUpdateCode: return FormattedRecordType::LongPulseUpdate;
        case kLongPulseDroppedCode: return FormattedRecordType::LongPulseDropped;
        default: break;
    }
    if (w[2] != 0 || w[3] != 0) return FormattedRecordType::Unknown;
    return FormattedRecordType::Background;
}

}  // namespace

const char* record_type_name(FormattedRecordType type) {
    switch (type) {
        case FormattedRecordType::Pulse: return "pulse";
        case FormattedRecordType::Padding: return "padding";
        case FormattedRecordType::LongPulseUpdate: return "long_pulse_update";
        case FormattedRecordType::LongPulseDropped: return "long_pulse_dropped";
        case FormattedRecordType::StepUp: return "step_up";
        case FormattedRecordType::StepDown: return "step_down";
        case FormattedRecordType::Background: return "background";
        case FormattedRecordType::Unknown: return "unknown";
    }
    return "unknown";
}

std::string to_string(FormattedRecordType type) { return record_type_name(type); }

FormattedRecord FormattedRecord::from_raw(const RawRecord& raw, std::span<const EncodingRecord> enc,
                                          uint64_t position) {
    const auto& w = raw.words;
    FormattedRecord r;
    r.index = position;
    r.record_type = classify(raw);
    r.ipd_f = w[0];
    switch (r.record_type) {
        case FormattedRecordType::Pulse:
            r.dur_f = w[1];
            r.bin0_intensity = enc[2].decode(w[2]);
            r.bin1_intensity = enc[3].decode(w[3]);
            r.bin0_bg_mean = enc[4].decode(w[4]);
            r.bin1_bg_mean = enc[5].decode(w[5]);
            r.bin0_bg_std = enc[6].decode(w[6]);
            r.bin1_bg_std = enc[7].decode(w[7]);
            break;
        case FormattedRecordType::Padding:
        case FormattedRecordType::Unknown:
            r.bin0_intensity = plain(w[2]);
            r.bin1_intensity = plain(w[3]);
            r.bin0_bg_mean = plain(w[4]);
            r.bin1_bg_mean = plain(w[5]);
            r.bin0_bg_std = plain(w[6]);
            r.bin1_bg_std = plain(w[7]);
            break;
        case FormattedRecordType::StepDown:
        case FormattedRecordType::StepUp:
        case FormattedRecordType::LongPulseUpdate:
        case FormattedRecordType::LongPulseDropped:
            // Words 4 and 5 are the halves of the wide value; word 6 is the kind code.
            r.bin0_intensity = enc[2].decode(w[2]);
            r.bin1_intensity = enc[3].decode(w[3]);
            r.bin0_bg_mean = plain(w[4]);
            r.bin1_bg_mean = plain(w[5]);
            r.bin0_bg_std = plain(w[6]);
            r.bin1_bg_std = plain(w[7]);
            if (r.record_type == FormattedRecordType::StepDown || r.record_type == FormattedRecordType::StepUp)
                r.event_f = raw.wide_value();
            else
                r.long_pulse_duration_f = raw.wide_value();
            break;
        case FormattedRecordType::Background:
            // Intensities are zero outright: decoding a zero word would give the offset.
            r.bin0_bg_mean = enc[4].decode(w[4]);
            r.bin1_bg_mean = enc[5].decode(w[5]);
            r.bin0_bg_std = enc[6].decode(w[6]);
            r.bin1_bg_std = enc[7].decode(w[7]);
            break;
    }
    return r;
}

}  // namespace zpr

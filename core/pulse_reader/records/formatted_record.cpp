#include "pulse_reader/records/formatted_record.hpp"

#include "pulse_reader/records/record_lanes.hpp"

namespace zpr {

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

FormattedRecord FormattedRecord::from_raw(const RawRecord& raw, std::span<const EncodingRecord> encodings,
                                          uint64_t position) {
    // The record in lane 0 of an otherwise empty group.
    std::array<u16x8, 8> rows{};
    for (std::size_t k = 0; k < 8; ++k) rows[0][k] = raw.words[k];
    const RecordLanes lanes = RecordLanes::transpose(rows);
    const LaneKinds kinds(lanes);
    const LaneDecoder decoder(encodings);
    const i16x8 intensities = kinds.scaled_intensities(), background = kinds.scaled_background();

    FormattedRecord r;
    r.index = position;
    r.record_type = FormattedRecordType(kinds.codes()[0]);
    r.ipd_f = raw.words[0];
    r.dur_f = raw.words[1];  // zero in every record that is not a pulse
    r.bin0_intensity = decoder.value(lanes, 2, intensities)[0];
    r.bin1_intensity = decoder.value(lanes, 3, intensities)[0];
    r.bin0_bg_mean = decoder.value(lanes, 4, background)[0];
    r.bin1_bg_mean = decoder.value(lanes, 5, background)[0];
    r.bin0_bg_std = decoder.value(lanes, 6, background)[0];
    r.bin1_bg_std = decoder.value(lanes, 7, background)[0];
    if (kinds.step()[0]) r.event_f = raw.wide_value();
    if (kinds.long_pulse()[0]) r.long_pulse_duration_f = raw.wide_value();
    return r;
}

}  // namespace zpr

#include "pulse_reader/records/record_columns.hpp"

namespace zpr {

void RecordColumns::reserve(std::size_t count) {
    ipd_f.reserve(count);
    dur_f.reserve(count);
    bin0_intensity.reserve(count);
    bin1_intensity.reserve(count);
    bin0_bg_mean.reserve(count);
    bin1_bg_mean.reserve(count);
    bin0_bg_std.reserve(count);
    bin1_bg_std.reserve(count);
    record_type.reserve(count);
    wide.reserve(count);
}

FormattedRecord RecordColumns::operator[](std::size_t i) const {
    FormattedRecord r;
    r.index = i;
    r.ipd_f = ipd_f[i];
    r.dur_f = dur_f[i];
    r.bin0_intensity = bin0_intensity[i];
    r.bin1_intensity = bin1_intensity[i];
    r.bin0_bg_mean = bin0_bg_mean[i];
    r.bin1_bg_mean = bin1_bg_mean[i];
    r.bin0_bg_std = bin0_bg_std[i];
    r.bin1_bg_std = bin1_bg_std[i];
    r.record_type = record_type[i];
    switch (r.record_type) {
        case FormattedRecordType::StepUp:
        case FormattedRecordType::StepDown: r.event_f = wide[i]; break;
        case FormattedRecordType::LongPulseUpdate:
        case FormattedRecordType::LongPulseDropped: r.long_pulse_duration_f = wide[i]; break;
        default: break;
    }
    return r;
}

}  // namespace zpr

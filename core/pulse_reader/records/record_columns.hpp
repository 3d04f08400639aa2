// The decoded records of one aperture, held column by column: each column is one contiguous
// buffer that the Python layer hands to NumPy as it is, without gathering or copying.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"

#include <cstddef>
#include "column.hpp"

namespace zpr {

struct RecordColumns {
    Column<uint16_t> ipd_f;
    Column<uint16_t> dur_f;
    Column<float> bin0_intensity;
    Column<float> bin1_intensity;
    Column<float> bin0_bg_mean;
    Column<float> bin1_bg_mean;
    Column<float> bin0_bg_std;
    Column<float> bin1_bg_std;
    Column<FormattedRecordType> record_type;
    // The wide value of step and long-pulse records, 0 elsewhere: it is the record's event_f
    // or long_pulse_duration_f according to its kind.
    Column<uint32_t> wide;

    std::size_t size() const noexcept { return ipd_f.size(); }
    void reserve(std::size_t count);
    void push_back(const FormattedRecord& record);
};

// Appending runs once per record of every query, so it lives here to be inlined.
inline void RecordColumns::push_back(const FormattedRecord& r) {
    // Every column has the same size and capacity, so the room is checked once per record.
    if (ipd_f.size() == ipd_f.capacity()) [[unlikely]]
        reserve(ipd_f.capacity() == 0 ? 16 : 2 * ipd_f.capacity());
    ipd_f.push_back_reserved(r.ipd_f);
    dur_f.push_back_reserved(r.dur_f);
    bin0_intensity.push_back_reserved(r.bin0_intensity);
    bin1_intensity.push_back_reserved(r.bin1_intensity);
    bin0_bg_mean.push_back_reserved(r.bin0_bg_mean);
    bin1_bg_mean.push_back_reserved(r.bin1_bg_mean);
    bin0_bg_std.push_back_reserved(r.bin0_bg_std);
    bin1_bg_std.push_back_reserved(r.bin1_bg_std);
    record_type.push_back_reserved(r.record_type);
    wide.push_back_reserved(r.event_f.value_or(r.long_pulse_duration_f.value_or(0)));
}

}  // namespace zpr

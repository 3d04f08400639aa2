// The decoded records of one aperture, held column by column: each column is one contiguous
// buffer that the Python layer hands to NumPy as it is, without gathering or copying.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/record_lanes.hpp"

#include <cstddef>
#include <span>
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
    // Running total of ipd_f over the records so far, this one included (wrapping modulo
    // 2^32): the record's start frame as the records table shows it.
    Column<uint32_t> start_f;
    Column<FormattedRecordType> record_type;
    // The optional wide values, converted exactly to double; NaN where the record has none.
    Column<double> long_pulse_duration_f;
    Column<double> event_f;

    std::size_t size() const noexcept { return ipd_f.size(); }
    void reserve(std::size_t count);
    // Decodes `count` raw records from `bytes` and appends them. Records are decoded in
    // groups of eight, so `bytes` must stay readable up to the end of the last group.
    void append_decoded(const uint8_t* bytes, std::size_t count, const LaneDecoder& decoder);
};

}  // namespace zpr

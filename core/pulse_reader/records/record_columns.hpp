// The decoded records of one aperture, held column by column: each column is one contiguous
// buffer that the Python layer hands to NumPy as it is, without gathering or copying.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"

#include <cstddef>
#include <vector>

namespace zpr {

struct RecordColumns {
    std::vector<uint16_t> ipd_f;
    std::vector<uint16_t> dur_f;
    std::vector<float> bin0_intensity;
    std::vector<float> bin1_intensity;
    std::vector<float> bin0_bg_mean;
    std::vector<float> bin1_bg_mean;
    std::vector<float> bin0_bg_std;
    std::vector<float> bin1_bg_std;
    std::vector<FormattedRecordType> record_type;
    // The wide value of step and long-pulse records, 0 elsewhere: it is the record's event_f
    // or long_pulse_duration_f according to its kind.
    std::vector<uint32_t> wide;

    std::size_t size() const noexcept { return ipd_f.size(); }
    void reserve(std::size_t count);
    void push_back(const FormattedRecord& record);
    // Row i as a record; its position is i, as rows are kept in file order.
    FormattedRecord operator[](std::size_t i) const;
};

}  // namespace zpr

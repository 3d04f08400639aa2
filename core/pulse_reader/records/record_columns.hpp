// The decoded records of one aperture, held column by column: each column is one contiguous
// buffer that the Python layer hands to NumPy as it is, without gathering or copying.
#pragma once

#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/record_lanes.hpp"

#include <cstddef>
#include <span>
#include "column.hpp"
#include "column_block.hpp"

namespace zpr {

struct RecordColumns {
    // The columns that share a type lie in one block (column_block.hpp), handed to pandas
    // as one.
    ColumnBlock<uint16_t, 2> words;  // ipd_f, dur_f
    // bin0_intensity, bin1_intensity, bin0_bg_mean, bin1_bg_mean, bin0_bg_std, bin1_bg_std
    ColumnBlock<float, 6> values;
    // Running total of ipd_f over the records so far, this one included (wrapping modulo
    // 2^32): the record's start frame as the records table shows it.
    Column<uint32_t> start_f;
    Column<FormattedRecordType> record_type;
    // The optional wide values, converted exactly to double; NaN where the record has none:
    // long_pulse_duration_f, event_f.
    ColumnBlock<double, 2> wide_values;

    std::size_t size() const noexcept { return start_f.size(); }
    // Room for `count` records, decoded in whole groups of eight, backed by `pages`.
    void reserve(std::size_t count, Pages pages = Pages::Huge);
    // Decodes `count` raw records from `bytes` into the reserved room from row `row` on,
    // whole groups at a time: `bytes` must stay readable, and the room must last, up to the
    // end of the last group. `running_start` is the start_f total before the first of them;
    // returns the total after the last. Different threads may fill different groups.
    uint32_t decode_into(const uint8_t* bytes, std::size_t count, std::size_t row, uint32_t running_start,
                         const LaneDecoder& decoder);
    // The same, writing rows [row, row + count) and no others: a trailing part of a group is
    // decoded aside and only its rows copied, so that another thread may be filling the rows
    // that follow.
    uint32_t decode_exactly_into(const uint8_t* bytes, std::size_t count, std::size_t row, uint32_t running_start,
                                 const LaneDecoder& decoder);
    // Adds `amount` (wrapping) to start_f of the reserved rows [first, last).
    void add_to_start_f(std::size_t first, std::size_t last, uint32_t amount);
    // Counts `count` decoded rows past the end of every column.
    void mark_filled(std::size_t count);
};

}  // namespace zpr

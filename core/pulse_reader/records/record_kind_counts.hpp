// Records of each kind per aperture, counted from the raw records without decoding their
// values: one row per aperture, one column per FormattedRecordType in code order.
#pragma once

#include "column_block.hpp"
#include "pulse_reader/records/formatted_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace zpr {

using RecordKindTotals = std::array<uint64_t, kFormattedRecordTypeCount>;

struct RecordKindCounts {
    ColumnBlock<uint64_t, kFormattedRecordTypeCount> counts;
    std::size_t rows = 0;
};

// Adds the kinds of the `count` raw records at `bytes` to `totals`, with the same rules as
// the records table's record_type. Reads no byte past the records.
void add_record_kinds(const uint8_t* bytes, std::size_t count, RecordKindTotals& totals);

}  // namespace zpr

// Column tables of the query results: one one-dimensional NumPy array per column, in column
// order. NumPy adopts each numeric column's buffer without a copy; the buffer lives as long
// as the array.
#pragma once

#include "py_support.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/pulse_columns.hpp"
#include "pulse_reader/records/record_columns.hpp"
#include "records/data_frame.hpp"

#include <span>

namespace zpr::py {

// The records table: ipd_f, dur_f, six intensities and background values, start_f (running
// sum of ipd_f), record_type (object array of str), long_pulse_duration_f and event_f (NaN
// where absent).
ColumnTable to_column_table(RecordColumns&& records);

// The records table of several apertures: aperture_index, then the records table's
// columns; the row index values are each record's position within its aperture.
ColumnTable to_column_table(ManyApertureRecords&& records);

// The summary table: aperture_x, aperture_y, records, pulses, nonfinite, the five means,
// first_start_f, last_end_f, and error (object: None, or the row's message). The row index
// values are `apertures`.
ColumnTable to_column_table(ApertureSummaries&& summaries, std::span<const uint64_t> apertures);

// The record kinds table: one count per kind, named and ordered as the kinds' codes. The
// row index values are `apertures`.
ColumnTable to_column_table(RecordKindCounts&& counts, std::span<const uint64_t> apertures);

// The pulses table: index, aperture_index (when asked for), then the pulse quantities.
ColumnTable to_column_table(PulseColumns&& pulses, bool include_aperture_index);

}  // namespace zpr::py

// Column tables of the query results: one one-dimensional NumPy array per column, in column
// order. NumPy adopts each numeric column's buffer without a copy; the buffer lives as long
// as the array.
#pragma once

#include "py_support.hpp"
#include "pulse_reader/records/pulse_columns.hpp"
#include "pulse_reader/records/record_columns.hpp"
#include "records/data_frame.hpp"

namespace zpr::py {

// The records table: ipd_f, dur_f, six intensities and background values, start_f (running
// sum of ipd_f), record_type (object array of str), long_pulse_duration_f and event_f (NaN
// where absent).
ColumnTable to_column_table(RecordColumns&& records);

// The pulses table: index, aperture_index (when asked for), then the pulse quantities.
ColumnTable to_column_table(PulseColumns&& pulses, bool include_aperture_index);

}  // namespace zpr::py

// Column tables: a dict from column name to a one-dimensional NumPy array, in column order.
// NumPy adopts each numeric column's buffer without a copy; the buffer lives as long as the
// array.
#pragma once

#include "py_support.hpp"
#include "pulse_reader/records/pulse_columns.hpp"
#include "pulse_reader/records/record_columns.hpp"


namespace zpr::py {

// The records table: ipd_f, dur_f, six intensities and background values, start_f (running
// sum of ipd_f), record_type (object column of str, held in a pandas Series so that no
// string dtype is inferred), long_pulse_duration_f and event_f (NaN where absent).
PyRef to_pydict(RecordColumns&& records, PyObject* pandas);

// The pulses table: index, aperture_index (when asked for), then the pulse quantities.
PyRef to_pydict(PulseColumns&& pulses, bool include_aperture_index);

}  // namespace zpr::py

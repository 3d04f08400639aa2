// Column tables: a dict from column name to a one-dimensional NumPy array, in column order.
// Each numeric column is filled in a buffer of exactly the row count that NumPy then adopts
// without a copy; the buffer lives as long as the array.
#pragma once

#include "py_support.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"

#include <vector>

namespace zpr::py {

// The records table: ipd_f, dur_f, six intensities and background values, start_f (running
// sum of ipd_f), record_type (object column of str, held in a pandas Series so that no
// string dtype is inferred), long_pulse_duration_f and event_f (NaN where absent).
PyRef to_pydict(const std::vector<FormattedRecord>& records, PyObject* pandas);

// The pulses table: index, aperture_index (when requested), then the pulse quantities.
PyRef to_pydict(const std::vector<NormalizedPulse>& pulses, bool include_aperture_index, uint64_t aperture_index);

}  // namespace zpr::py

// Column tables of the query results: each block of a result table (result_table.hpp) as one
// two-dimensional NumPy array, in column order. NumPy adopts each numeric block's buffer
// without a copy; the buffer lives as long as the array. Record kinds and messages become
// object arrays of str (None where a row has no message).
#pragma once

#include "py_support.hpp"
#include "records/data_frame.hpp"
#include "records/result_table.hpp"

namespace zpr::py {

ColumnTable to_column_table(ResultTable&& result);

}  // namespace zpr::py

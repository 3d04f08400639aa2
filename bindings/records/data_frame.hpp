// DataFrames over a query's result columns.
//
// The columns are fresh NumPy arrays that nothing else references, so pandas may keep them
// as they are instead of copying them into consolidated blocks. From pandas 3 on, its
// block-level constructor takes each column as a block directly, without the type inference
// and checks of the DataFrame constructor: that builds a frame of 100,000 rows in half the
// time. Earlier versions get the DataFrame constructor with copy=False, which also keeps
// the arrays as they are.
#pragma once

#include "py_support.hpp"

#include <vector>

namespace zpr::py {

// A query's result columns in frame order, each a one-dimensional NumPy array that nothing
// else references. Object columns (record_type) hold str values.
struct ColumnTable {
    struct Entry {
        const char* name;
        PyRef values;
    };
    std::vector<Entry> columns;

    void add(const char* name, PyRef values) { columns.push_back({name, std::move(values)}); }
    // Removes the column `name` and returns its array.
    PyRef take(const char* name);
};

// pandas' block-level constructor, or None where pandas has none (before pandas 3).
PyRef find_frame_from_blocks();

// A DataFrame over the table's columns, with `row_index` as its row index (a default
// RangeIndex when null), built with `frame_from_blocks` unless it is None. Object columns
// keep dtype object on every pandas version.
PyRef make_data_frame(PyObject* pandas, PyObject* frame_from_blocks, const ColumnTable& table, PyObject* row_index);

}  // namespace zpr::py

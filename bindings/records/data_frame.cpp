#include "records/data_frame.hpp"

#include "error.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#define PY_ARRAY_UNIQUE_SYMBOL zyn_pulse_reader_ARRAY_API
#define NO_IMPORT_ARRAY  // loaded where the tables' arrays are made, always before a frame
#include <numpy/arrayobject.h>

namespace zpr::py {

namespace {

// The frame's row count.
Py_ssize_t row_count(const ColumnTable& table) {
    if (table.blocks.empty()) return 0;
    return Py_ssize_t(PyArray_DIM(reinterpret_cast<PyArrayObject*>(table.blocks.front().values.get()), 1));
}

// The position of the column `name` in the frame.
Py_ssize_t position_of(const ColumnTable& table, const char* name) {
    for (std::size_t position = 0; position < table.order.size(); ++position)
        if (std::strcmp(table.order[position], name) == 0) return Py_ssize_t(position);
    throw InternalFault(std::string("column table without the column ") + name);
}

// A new column index for a frame whose columns are `order`: a copy of one built once per
// column order. Building the index infers its type from the names, which costs more than the
// rest of a small frame; the copy shares the names but has a name of its own, so that
// setting one frame's columns.name leaves the others alone.
PyRef column_index(PyObject* pandas, const std::vector<const char*>& order) {
    struct Built {
        std::vector<std::string> names;
        PyObject* index;
    };
    // Never freed: the indexes may outlive the interpreter's teardown of pandas.
    static auto* built = new std::vector<Built>;
    auto same_order = [&](const Built& entry) {
        return std::equal(entry.names.begin(), entry.names.end(), order.begin(), order.end(),
                          [](const std::string& a, const char* b) { return a == b; });
    };
    auto found = std::find_if(built->begin(), built->end(), same_order);
    if (found == built->end()) {
        PyRef names = checked(PyList_New(Py_ssize_t(order.size())));
        for (std::size_t position = 0; position < order.size(); ++position)
            PyList_SET_ITEM(names.get(), Py_ssize_t(position), checked(PyUnicode_FromString(order[position])).release());
        PyRef index_type = checked(PyObject_GetAttrString(pandas, "Index"));
        PyRef index = checked(PyObject_CallOneArg(index_type.get(), names.get()));
        built->push_back({std::vector<std::string>(order.begin(), order.end()), index.get()});
        index.release();  // now held by the list
        found = built->end() - 1;
    }
    return checked(PyObject_CallMethod(found->index, "copy", nullptr));
}

// Through the block-level constructor, each block placed at its columns' positions.
PyRef frame_from_table_blocks(PyObject* pandas, PyObject* frame_from_blocks, const ColumnTable& table,
                              PyObject* row_index) {
    PyRef blocks = checked(PyList_New(Py_ssize_t(table.blocks.size())));
    for (std::size_t b = 0; b < table.blocks.size(); ++b) {
        const ColumnTable::Block& block = table.blocks[b];
        npy_intp width = npy_intp(block.names.size());
        PyRef placement = checked(PyArray_SimpleNew(1, &width, NPY_INTP));
        auto* positions = static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(placement.get())));
        for (std::size_t k = 0; k < block.names.size(); ++k) positions[k] = position_of(table, block.names[k]);
        PyList_SET_ITEM(blocks.get(), Py_ssize_t(b), checked(PyTuple_Pack(2, block.values.get(), placement.get())).release());
    }
    PyRef columns = column_index(pandas, table.order);
    PyRef rows;
    if (row_index == nullptr) {
        PyRef range_type = checked(PyObject_GetAttrString(pandas, "RangeIndex"));
        PyRef count = checked(PyLong_FromSsize_t(row_count(table)));
        rows = checked(PyObject_CallOneArg(range_type.get(), count.get()));
        row_index = rows.get();
    }
    return checked(PyObject_CallFunctionObjArgs(frame_from_blocks, blocks.get(), row_index, columns.get(), nullptr));
}

// Through the DataFrame constructor with copy=False, over each block's rows. An object
// column goes in as a Series of dtype object, or pandas 3 would infer its string dtype from
// the str values; the Series carries the frame's row index, since the constructor aligns a
// Series on its labels (which a row index with repeated labels would scramble).
PyRef frame_from_table_columns(PyObject* pandas, const ColumnTable& table, PyObject* row_index) {
    std::vector<PyRef> columns(table.order.size());
    for (const ColumnTable::Block& block : table.blocks) {
        for (std::size_t k = 0; k < block.names.size(); ++k)
            columns[std::size_t(position_of(table, block.names[k]))] =
                checked(PySequence_GetItem(block.values.get(), Py_ssize_t(k)));
    }
    PyRef dict = checked(PyDict_New());
    PyRef series_type;
    for (std::size_t position = 0; position < columns.size(); ++position) {
        PyObject* values = columns[position].get();
        PyRef series;
        if (PyArray_TYPE(reinterpret_cast<PyArrayObject*>(values)) == NPY_OBJECT) {
            if (!series_type) series_type = checked(PyObject_GetAttrString(pandas, "Series"));
            PyRef args = checked(PyTuple_Pack(1, values));
            PyRef kwargs = checked(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
            if (row_index != nullptr) check_status(PyDict_SetItemString(kwargs.get(), "index", row_index));
            series = checked(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
            values = series.get();
        }
        check_status(PyDict_SetItemString(dict.get(), table.order[position], values));
    }
    PyRef frame_type = checked(PyObject_GetAttrString(pandas, "DataFrame"));
    PyRef args = checked(PyTuple_Pack(1, dict.get()));
    PyRef kwargs = checked(PyDict_New());
    check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    if (row_index != nullptr) check_status(PyDict_SetItemString(kwargs.get(), "index", row_index));
    return checked(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
}

}  // namespace

PyRef find_frame_from_blocks() {
    PyRef internals(PyImport_ImportModule("pandas.api.internals"));
    PyRef function;
    if (internals) function = PyRef(PyObject_GetAttrString(internals.get(), "create_dataframe_from_blocks"));
    if (!function) {
        // pandas before 3 has neither the module nor the function.
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
            throw PythonError{};
        PyErr_Clear();
        return PyRef::borrow(Py_None);
    }
    return function;
}

PyRef make_data_frame(PyObject* pandas, PyObject* frame_from_blocks, const ColumnTable& table, PyObject* row_index) {
    if (frame_from_blocks != Py_None) return frame_from_table_blocks(pandas, frame_from_blocks, table, row_index);
    return frame_from_table_columns(pandas, table, row_index);
}

}  // namespace zpr::py

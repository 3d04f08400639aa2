#include "records/data_frame.hpp"

#include <cstring>

#define PY_ARRAY_UNIQUE_SYMBOL zyn_pulse_reader_ARRAY_API
#define NO_IMPORT_ARRAY  // loaded where the tables' arrays are made, always before a frame
#include <numpy/arrayobject.h>

namespace zpr::py {

namespace {

bool is_object_array(PyObject* values) {
    return PyArray_TYPE(reinterpret_cast<PyArrayObject*>(values)) == NPY_OBJECT;
}

// The frame's row count.
Py_ssize_t row_count(const ColumnTable& table) {
    if (table.columns.empty()) return 0;
    return Py_ssize_t(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(table.columns.front().values.get())));
}

// Through the block-level constructor: each column becomes a block of one row, (1, rows)
// over the column's own memory, placed at its column position.
PyRef frame_from_column_blocks(PyObject* pandas, PyObject* frame_from_blocks, const ColumnTable& table,
                               PyObject* row_index) {
    const auto column_count = Py_ssize_t(table.columns.size());
    PyRef names = checked(PyList_New(column_count));
    PyRef blocks = checked(PyList_New(column_count));
    npy_intp block_shape[2] = {1, row_count(table)};
    PyArray_Dims block_dims{block_shape, 2};
    npy_intp one = 1;
    for (Py_ssize_t position = 0; position < column_count; ++position) {
        const ColumnTable::Entry& column = table.columns[std::size_t(position)];
        PyList_SET_ITEM(names.get(), position, checked(PyUnicode_FromString(column.name)).release());
        PyRef block = checked(
            PyArray_Newshape(reinterpret_cast<PyArrayObject*>(column.values.get()), &block_dims, NPY_CORDER));
        PyRef placement = checked(PyArray_SimpleNew(1, &one, NPY_INTP));
        *static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(placement.get()))) = position;
        PyList_SET_ITEM(blocks.get(), position, checked(PyTuple_Pack(2, block.get(), placement.get())).release());
    }
    PyRef index_type = checked(PyObject_GetAttrString(pandas, "Index"));
    PyRef columns = checked(PyObject_CallOneArg(index_type.get(), names.get()));
    PyRef rows;
    if (row_index == nullptr) {
        PyRef range_type = checked(PyObject_GetAttrString(pandas, "RangeIndex"));
        PyRef count = checked(PyLong_FromSsize_t(block_shape[1]));
        rows = checked(PyObject_CallOneArg(range_type.get(), count.get()));
        row_index = rows.get();
    }
    return checked(PyObject_CallFunctionObjArgs(frame_from_blocks, blocks.get(), row_index, columns.get(), nullptr));
}

// Through the DataFrame constructor with copy=False. An object column goes in as a Series
// of dtype object, or pandas 3 would infer its string dtype from the str values.
PyRef frame_from_column_dict(PyObject* pandas, const ColumnTable& table, PyObject* row_index) {
    PyRef dict = checked(PyDict_New());
    PyRef series_type;
    for (const ColumnTable::Entry& column : table.columns) {
        PyObject* values = column.values.get();
        PyRef series;
        if (is_object_array(values)) {
            if (!series_type) series_type = checked(PyObject_GetAttrString(pandas, "Series"));
            PyRef args = checked(PyTuple_Pack(1, values));
            PyRef kwargs = checked(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
            series = checked(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
            values = series.get();
        }
        check_status(PyDict_SetItemString(dict.get(), column.name, values));
    }
    PyRef frame_type = checked(PyObject_GetAttrString(pandas, "DataFrame"));
    PyRef args = checked(PyTuple_Pack(1, dict.get()));
    PyRef kwargs = checked(PyDict_New());
    check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    if (row_index != nullptr) check_status(PyDict_SetItemString(kwargs.get(), "index", row_index));
    return checked(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
}

}  // namespace

PyRef ColumnTable::take(const char* name) {
    for (auto it = columns.begin(); it != columns.end(); ++it) {
        if (std::strcmp(it->name, name) == 0) {
            PyRef values = std::move(it->values);
            columns.erase(it);
            return values;
        }
    }
    raise(PyExc_KeyError, name);
}

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
    if (frame_from_blocks != Py_None) return frame_from_column_blocks(pandas, frame_from_blocks, table, row_index);
    return frame_from_column_dict(pandas, table, row_index);
}

}  // namespace zpr::py

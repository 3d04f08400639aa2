#include "records/to_pydict.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zyn_pulse_reader_ARRAY_API
#include <numpy/arrayobject.h>

#include <array>
#include <bit>

namespace zpr::py {

namespace {

// NumPy's C API is loaded on first use, not at import.
void ensure_numpy() {
    static bool loaded = false;
    if (loaded) return;
    if (PyArray_ImportNumPyAPI() < 0) throw PythonError{};
    loaded = true;
}

template <class T> constexpr int numpy_type();
template <> constexpr int numpy_type<uint16_t>() { return NPY_UINT16; }
template <> constexpr int numpy_type<uint32_t>() { return NPY_UINT32; }
template <> constexpr int numpy_type<uint64_t>() { return NPY_UINT64; }
template <> constexpr int numpy_type<float>() { return NPY_FLOAT32; }
template <> constexpr int numpy_type<double>() { return NPY_FLOAT64; }

constexpr const char* kColumnCapsule = "zyn_pulse_reader.column";

// The capsule's context holds the buffer's allocated size, which freeing it needs.
void free_column(PyObject* capsule) {
    free_column_buffer(PyCapsule_GetPointer(capsule, kColumnCapsule),
                       reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule)));
}

// A one-dimensional array over the column's buffer. The buffer moves into a capsule that
// becomes the array's base object, so it is freed exactly when NumPy drops the array.
template <class T>
PyRef adopt(Column<T>&& column) {
    npy_intp size = npy_intp(column.size());
    if (size == 0) return checked(PyArray_SimpleNew(1, &size, numpy_type<T>()));
    const auto [data, buffer_bytes] = column.release();
    PyObject* capsule = PyCapsule_New(data, kColumnCapsule, nullptr);
    if (capsule == nullptr) {
        free_column_buffer(data, buffer_bytes);
        throw PythonError{};
    }
    PyRef owner(capsule);
    // The destructor is set only once the capsule knows the size.
    PyCapsule_SetContext(capsule, reinterpret_cast<void*>(std::uintptr_t(buffer_bytes)));
    PyCapsule_SetDestructor(capsule, free_column);
    PyRef array = checked(PyArray_SimpleNewFromData(1, &size, numpy_type<T>(), data));
    // SetBaseObject takes the capsule's reference whether or not it succeeds.
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
    return array;
}

void insert(PyObject* table, const char* name, PyRef column) {
    check_status(PyDict_SetItemString(table, name, column.get()));
}

template <class T>
void insert(PyObject* table, const char* name, Column<T>&& values) {
    insert(table, name, adopt(std::move(values)));
}

// The kind names as Python strings, created once and shared by every table.
PyObject* record_type_string(FormattedRecordType type) {
    static std::array<PyObject*, kFormattedRecordTypeCount> names{};
    PyObject*& name = names[std::size_t(type)];
    if (name == nullptr) {
        name = PyUnicode_InternFromString(record_type_name(type));
        if (name == nullptr) throw PythonError{};
    }
    return name;
}

PyRef record_type_column(const Column<FormattedRecordType>& types, PyObject* pandas) {
    npy_intp size = npy_intp(types.size());
    PyRef array = checked(PyArray_SimpleNew(1, &size, NPY_OBJECT));
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t i = 0; i < types.size(); ++i) {
        PyObject* name = record_type_string(types[i]);
        Py_INCREF(name);
        Py_XSETREF(cells[i], name);
    }
    // pandas 3 would infer its string dtype from str values; an explicit object Series keeps
    // the column's type the same on every pandas version.
    PyRef series_type = checked(PyObject_GetAttrString(pandas, "Series"));
    PyRef args = checked(PyTuple_Pack(1, array.get()));
    PyRef kwargs = checked(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
    return checked(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
}

}  // namespace

PyRef to_pydict(RecordColumns&& records, PyObject* pandas) {
    ensure_numpy();
    PyRef table = checked(PyDict_New());
    PyObject* t = table.get();
    insert(t, "ipd_f", std::move(records.ipd_f));
    insert(t, "dur_f", std::move(records.dur_f));
    insert(t, "bin0_intensity", std::move(records.bin0_intensity));
    insert(t, "bin1_intensity", std::move(records.bin1_intensity));
    insert(t, "bin0_bg_mean", std::move(records.bin0_bg_mean));
    insert(t, "bin1_bg_mean", std::move(records.bin1_bg_mean));
    insert(t, "bin0_bg_std", std::move(records.bin0_bg_std));
    insert(t, "bin1_bg_std", std::move(records.bin1_bg_std));
    insert(t, "start_f", std::move(records.start_f));
    insert(t, "record_type", record_type_column(records.record_type, pandas));
    insert(t, "long_pulse_duration_f", std::move(records.long_pulse_duration_f));
    insert(t, "event_f", std::move(records.event_f));
    return table;
}

PyRef to_pydict(PulseColumns&& pulses, std::optional<Column<uint64_t>> aperture_index) {
    ensure_numpy();
    PyRef table = checked(PyDict_New());
    PyObject* t = table.get();
    insert(t, "index", std::move(pulses.index));
    if (aperture_index) insert(t, "aperture_index", std::move(*aperture_index));
    insert(t, "start_f", std::move(pulses.start_f));
    insert(t, "end_f", std::move(pulses.end_f));
    insert(t, "dur_f", std::move(pulses.dur_f));
    insert(t, "dur_s", std::move(pulses.dur_s));
    insert(t, "ipd_f", std::move(pulses.ipd_f));
    insert(t, "ipd_s", std::move(pulses.ipd_s));
    insert(t, "snr", std::move(pulses.snr));
    insert(t, "intensity", std::move(pulses.intensity));
    insert(t, "bin0_intensity", std::move(pulses.bin0_intensity));
    insert(t, "intensity_display", std::move(pulses.intensity_display));
    insert(t, "binratio", std::move(pulses.binratio));
    insert(t, "bg_mean", std::move(pulses.bg_mean));
    insert(t, "bg_std", std::move(pulses.bg_std));
    insert(t, "bin0_bg_mean", std::move(pulses.bin0_bg_mean));
    insert(t, "bin0_bg_std", std::move(pulses.bin0_bg_std));
    return table;
}

}  // namespace zpr::py

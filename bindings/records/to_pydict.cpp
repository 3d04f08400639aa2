#include "records/to_pydict.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zyn_pulse_reader_ARRAY_API
#include <numpy/arrayobject.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <new>

namespace zpr::py {

namespace {

// NumPy's C API is loaded on first use, not at import.
void ensure_numpy() {
    static bool loaded = false;
    if (loaded) return;
    if (PyArray_ImportNumPyAPI() < 0) throw PythonError{};
    loaded = true;
}

void free_column(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, "zyn_pulse_reader.column")); }

template <class T> constexpr int numpy_type();
template <> constexpr int numpy_type<uint16_t>() { return NPY_UINT16; }
template <> constexpr int numpy_type<uint32_t>() { return NPY_UINT32; }
template <> constexpr int numpy_type<uint64_t>() { return NPY_UINT64; }
template <> constexpr int numpy_type<float>() { return NPY_FLOAT32; }
template <> constexpr int numpy_type<double>() { return NPY_FLOAT64; }

// A zero-filled buffer of one column, handed over to NumPy by `to_array`.
template <class T>
class Column {
public:
    explicit Column(std::size_t rows) : rows_(rows), data_(static_cast<T*>(std::calloc(rows ? rows : 1, sizeof(T)))) {
        if (data_ == nullptr) throw std::bad_alloc();
    }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { std::free(data_); }

    T& operator[](std::size_t i) { return data_[i]; }

    // The array over the buffer; a capsule that frees the buffer becomes its base object.
    PyRef to_array() {
        PyRef capsule = checked(PyCapsule_New(data_, "zyn_pulse_reader.column", free_column));
        data_ = nullptr;  // the capsule owns it now
        npy_intp size = npy_intp(rows_);
        PyRef array = checked(PyArray_SimpleNewFromData(1, &size, numpy_type<T>(), PyCapsule_GetPointer(capsule.get(), "zyn_pulse_reader.column")));
        // SetBaseObject takes the capsule's reference whether or not it succeeds.
        check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
        return array;
    }

private:
    std::size_t rows_;
    T* data_;
};

void insert(PyObject* table, const char* name, PyRef column) {
    check_status(PyDict_SetItemString(table, name, column.get()));
}

template <class T>
void insert(PyObject* table, const char* name, Column<T>& column) {
    insert(table, name, column.to_array());
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

PyRef record_type_column(const std::vector<FormattedRecord>& records, PyObject* pandas) {
    npy_intp size = npy_intp(records.size());
    PyRef array = checked(PyArray_SimpleNew(1, &size, NPY_OBJECT));
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* name = record_type_string(records[i].record_type);
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

constexpr double kAbsent = std::bit_cast<double>(uint64_t(0x7FF8000000000000));

template <class T, class Field>
void insert_pulse_column(PyObject* table, const char* name, const std::vector<NormalizedPulse>& pulses, Field field) {
    Column<T> column(pulses.size());
    for (std::size_t i = 0; i < pulses.size(); ++i) column[i] = pulses[i].*field;
    insert(table, name, column);
}

}  // namespace

PyRef to_pydict(const std::vector<FormattedRecord>& records, PyObject* pandas) {
    ensure_numpy();
    const std::size_t n = records.size();
    Column<uint16_t> ipd_f(n), dur_f(n);
    Column<float> bin0_intensity(n), bin1_intensity(n), bin0_bg_mean(n), bin1_bg_mean(n), bin0_bg_std(n),
        bin1_bg_std(n);
    Column<uint32_t> start_f(n);
    Column<double> long_pulse_duration_f(n), event_f(n);
    uint32_t running_start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const FormattedRecord& r = records[i];
        ipd_f[i] = r.ipd_f;
        dur_f[i] = r.dur_f;
        bin0_intensity[i] = r.bin0_intensity;
        bin1_intensity[i] = r.bin1_intensity;
        bin0_bg_mean[i] = r.bin0_bg_mean;
        bin1_bg_mean[i] = r.bin1_bg_mean;
        bin0_bg_std[i] = r.bin0_bg_std;
        bin1_bg_std[i] = r.bin1_bg_std;
        running_start += r.ipd_f;  // wraps modulo 2^32
        start_f[i] = running_start;
        long_pulse_duration_f[i] = r.long_pulse_duration_f ? double(*r.long_pulse_duration_f) : kAbsent;
        event_f[i] = r.event_f ? double(*r.event_f) : kAbsent;
    }

    PyRef table = checked(PyDict_New());
    insert(table.get(), "ipd_f", ipd_f);
    insert(table.get(), "dur_f", dur_f);
    insert(table.get(), "bin0_intensity", bin0_intensity);
    insert(table.get(), "bin1_intensity", bin1_intensity);
    insert(table.get(), "bin0_bg_mean", bin0_bg_mean);
    insert(table.get(), "bin1_bg_mean", bin1_bg_mean);
    insert(table.get(), "bin0_bg_std", bin0_bg_std);
    insert(table.get(), "bin1_bg_std", bin1_bg_std);
    insert(table.get(), "start_f", start_f);
    insert(table.get(), "record_type", record_type_column(records, pandas));
    insert(table.get(), "long_pulse_duration_f", long_pulse_duration_f);
    insert(table.get(), "event_f", event_f);
    return table;
}

PyRef to_pydict(const std::vector<NormalizedPulse>& pulses, bool include_aperture_index, uint64_t aperture_index) {
    ensure_numpy();
    using P = NormalizedPulse;
    PyRef table = checked(PyDict_New());
    PyObject* t = table.get();
    insert_pulse_column<uint64_t>(t, "index", pulses, &P::index);
    if (include_aperture_index) {
        Column<uint64_t> column(pulses.size());
        for (std::size_t i = 0; i < pulses.size(); ++i) column[i] = aperture_index;
        insert(t, "aperture_index", column);
    }
    insert_pulse_column<uint32_t>(t, "start_f", pulses, &P::start_f);
    insert_pulse_column<uint32_t>(t, "end_f", pulses, &P::end_f);
    insert_pulse_column<uint32_t>(t, "dur_f", pulses, &P::dur_f);
    insert_pulse_column<float>(t, "dur_s", pulses, &P::dur_s);
    insert_pulse_column<uint32_t>(t, "ipd_f", pulses, &P::ipd_f);
    insert_pulse_column<float>(t, "ipd_s", pulses, &P::ipd_s);
    insert_pulse_column<float>(t, "snr", pulses, &P::snr);
    insert_pulse_column<float>(t, "intensity", pulses, &P::intensity);
    insert_pulse_column<float>(t, "bin0_intensity", pulses, &P::bin0_intensity);
    insert_pulse_column<float>(t, "intensity_display", pulses, &P::intensity_display);
    insert_pulse_column<float>(t, "binratio", pulses, &P::binratio);
    insert_pulse_column<float>(t, "bg_mean", pulses, &P::bg_mean);
    insert_pulse_column<float>(t, "bg_std", pulses, &P::bg_std);
    insert_pulse_column<float>(t, "bin0_bg_mean", pulses, &P::bin0_bg_mean);
    insert_pulse_column<float>(t, "bin0_bg_std", pulses, &P::bin0_bg_std);
    return table;
}

}  // namespace zpr::py

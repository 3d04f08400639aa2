#include "records/column_table.hpp"

#include "simd.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zyn_pulse_reader_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
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
template <> constexpr int numpy_type<int64_t>() { return NPY_INT64; }
template <> constexpr int numpy_type<float>() { return NPY_FLOAT32; }
template <> constexpr int numpy_type<double>() { return NPY_FLOAT64; }

constexpr const char* kColumnCapsule = "zyn_pulse_reader.column";

// The capsule's context holds the buffer's allocated size, which freeing it needs.
void free_column(PyObject* capsule) {
    free_column_buffer(PyCapsule_GetPointer(capsule, kColumnCapsule),
                       reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule)));
}

// An array of `rank` dimensions over a released buffer. The buffer moves into a capsule
// that becomes the array's base object, so it is freed exactly when NumPy drops the array.
template <class T>
PyRef array_over(typename Column<T>::Released buffer, int rank, npy_intp* shape, npy_intp* strides) {
    if (buffer.data == nullptr || PyArray_MultiplyList(shape, rank) == 0) {
        free_column_buffer(buffer.data, buffer.buffer_bytes);
        return checked(PyArray_SimpleNew(rank, shape, numpy_type<T>()));
    }
    PyObject* capsule = PyCapsule_New(buffer.data, kColumnCapsule, nullptr);
    if (capsule == nullptr) {
        free_column_buffer(buffer.data, buffer.buffer_bytes);
        throw PythonError{};
    }
    PyRef owner(capsule);
    // The destructor is set only once the capsule knows the size.
    PyCapsule_SetContext(capsule, reinterpret_cast<void*>(std::uintptr_t(buffer.buffer_bytes)));
    PyCapsule_SetDestructor(capsule, free_column);
    PyRef array = checked(PyArray_New(&PyArray_Type, rank, shape, numpy_type<T>(), strides, buffer.data, 0,
                                      NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED, nullptr));
    // SetBaseObject takes the capsule's reference whether or not it succeeds.
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
    return array;
}

// The column as a one-dimensional array.
template <class T>
PyRef adopt_values(Column<T>&& column) {
    npy_intp shape[1] = {npy_intp(column.size())};
    return array_over<T>(column.release(), 1, shape, nullptr);
}

// The column as a block of one row.
template <class T>
PyRef adopt(Column<T>&& column) {
    npy_intp shape[2] = {1, npy_intp(column.size())};
    return array_over<T>(column.release(), 2, shape, nullptr);
}

// The first `rows` values of each column of the block, as a block.
template <class T, std::size_t Width>
PyRef adopt(ColumnBlock<T, Width>&& block, std::size_t rows) {
    npy_intp shape[2] = {npy_intp(Width), npy_intp(rows)};
    npy_intp strides[2] = {npy_intp(block.stride() * sizeof(T)), npy_intp(sizeof(T))};
    return array_over<T>(block.release(), 2, shape, strides);
}

template <class T>
void insert(ColumnTable& table, const char* name, Column<T>&& values) {
    table.add(adopt(std::move(values)), {name});
}

// Rows take their kind's name from one of this many equal string objects, round robin. The
// reference counts then change on eight objects in turn rather than on one, row after row:
// a count bumped on every row makes each row wait for the store of the one before, when
// the table is built and again when NumPy frees it (most rows are pulses).
constexpr std::size_t kNameCopies = 8;
using RecordTypeNames = std::array<std::array<PyObject*, kNameCopies>, kFormattedRecordTypeCount>;

// The kind names as Python strings, created once and shared by every table.
const RecordTypeNames& record_type_names() {
    static RecordTypeNames names{};
    if (names[0][0] == nullptr) {
        RecordTypeNames made{};
        auto drop_made = [&] {
            for (auto& copies : made)
                for (PyObject* name : copies) Py_XDECREF(name);
        };
        for (std::size_t type = 0; type < made.size(); ++type) {
            for (PyObject*& name : made[type]) {
                name = PyUnicode_FromString(record_type_name(FormattedRecordType(type)));
                if (name == nullptr) {
                    drop_made();
                    throw PythonError{};
                }
            }
        }
        names = made;
    }
    return names;
}

// How many rows of each kind use each copy of its name, row r using copy r % kNameCopies.
// Counted sixteen rows at a time in byte counters, which are added up before they can
// overflow: counting row by row in memory would cost more than filling the cells.
using NameReferences = std::array<std::array<std::size_t, kNameCopies>, kFormattedRecordTypeCount>;
NameReferences count_name_references(const FormattedRecordType* codes, std::size_t count) {
    using u8x16 = uint8_t __attribute__((vector_size(16)));
    static_assert(16 % kNameCopies == 0);
    NameReferences references{};
    const std::size_t whole = count / 16 * 16;
    std::size_t row = 0;
    while (row < whole) {
        std::array<u8x16, kFormattedRecordTypeCount> counts{};
        const std::size_t stop = std::min(whole, row + 255 * 16);
        for (; row < stop; row += 16) {
            const u8x16 kinds = simd::load<u8x16>(codes + row);
            // A comparison sets its lanes to all ones: subtracting it counts one.
            for (std::size_t type = 0; type < counts.size(); ++type) counts[type] -= u8x16(kinds == uint8_t(type));
        }
        for (std::size_t type = 0; type < counts.size(); ++type)
            for (std::size_t lane = 0; lane < 16; ++lane) references[type][lane % kNameCopies] += counts[type][lane];
    }
    for (; row < count; ++row) ++references[std::size_t(codes[row])][row % kNameCopies];
    return references;
}

PyRef record_type_column(const Column<FormattedRecordType>& types) {
    const RecordTypeNames& names = record_type_names();
    npy_intp shape[2] = {1, npy_intp(types.size())};
    // A new object array starts out with every cell empty (NULL).
    PyRef array = checked(PyArray_SimpleNew(2, shape, NPY_OBJECT));
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    const FormattedRecordType* const codes = types.data();
    // Each cell holds a reference to its name: the references each name gets are counted
    // and taken in one step. Whole rounds of the copies first, so that each row's copy is
    // known without a division.
    std::size_t row = 0;
    for (; row + kNameCopies <= types.size(); row += kNameCopies)
        for (std::size_t copy = 0; copy < kNameCopies; ++copy)
            cells[row + copy] = names[std::size_t(codes[row + copy])][copy];
    for (std::size_t copy = 0; row < types.size(); ++row, ++copy) cells[row] = names[std::size_t(codes[row])][copy];
    const NameReferences references = count_name_references(codes, types.size());
    for (std::size_t type = 0; type < names.size(); ++type) {
        for (std::size_t copy = 0; copy < kNameCopies; ++copy) {
            PyObject* name = names[type][copy];
            Py_SET_REFCNT(name, Py_REFCNT(name) + Py_ssize_t(references[type][copy]));
        }
    }
    return array;
}

// Adds the records table's columns to `t`.
void add_records(ColumnTable& t, RecordColumns&& records) {
    const std::size_t rows = records.size();
    t.add(adopt(std::move(records.words), rows), {"ipd_f", "dur_f"});
    t.add(adopt(std::move(records.values), rows),
          {"bin0_intensity", "bin1_intensity", "bin0_bg_mean", "bin1_bg_mean", "bin0_bg_std", "bin1_bg_std"});
    insert(t, "start_f", std::move(records.start_f));
    t.add(record_type_column(records.record_type), {"record_type"});
    t.add(adopt(std::move(records.wide_values), rows), {"long_pulse_duration_f", "event_f"});
}

// The error column: None, or the message of the row's error.
PyRef error_column(std::size_t rows, const std::vector<std::pair<std::size_t, std::string>>& errors) {
    npy_intp shape[2] = {1, npy_intp(rows)};
    PyRef array = checked(PyArray_SimpleNew(2, shape, NPY_OBJECT));
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t row = 0; row < rows; ++row) cells[row] = Py_NewRef(Py_None);
    for (const auto& [row, message] : errors) {
        PyRef text = message_text(message);
        Py_DECREF(cells[row]);
        cells[row] = text.release();
    }
    return array;
}

// The aperture numbers as the row index values of a per-aperture table.
PyRef aperture_numbers(std::span<const uint64_t> apertures) {
    Column<uint64_t> numbers;
    numbers.reserve(apertures.size());
    std::copy(apertures.begin(), apertures.end(), numbers.data());
    numbers.mark_filled(apertures.size());
    return adopt_values(std::move(numbers));
}

}  // namespace

ColumnTable to_column_table(RecordColumns&& records) {
    ensure_numpy();
    ColumnTable t;
    add_records(t, std::move(records));
    return t;
}

ColumnTable to_column_table(ManyApertureRecords&& many) {
    ensure_numpy();
    ColumnTable t;
    t.row_index_values = adopt_values(std::move(many.position));
    insert(t, "aperture_index", std::move(many.aperture_index));
    add_records(t, std::move(many.records));
    return t;
}

ColumnTable to_column_table(ApertureSummaries&& summaries, std::span<const uint64_t> apertures) {
    ensure_numpy();
    const std::size_t rows = summaries.rows;
    ColumnTable t;
    t.row_index_values = aperture_numbers(apertures);
    t.add(adopt(std::move(summaries.frames), rows), {"aperture_x", "aperture_y", "first_start_f", "last_end_f"});
    t.add(adopt(std::move(summaries.counts), rows), {"records", "pulses", "nonfinite"});
    t.add(adopt(std::move(summaries.means), rows),
          {"dur_f_mean", "ipd_f_mean", "snr_mean", "intensity_mean", "binratio_mean"});
    t.add(error_column(rows, summaries.errors), {"error"});
    // The frame's order interleaves the blocks.
    t.order.assign({"aperture_x", "aperture_y", "records", "pulses", "nonfinite", "dur_f_mean", "ipd_f_mean",
                    "snr_mean", "intensity_mean", "binratio_mean", "first_start_f", "last_end_f", "error"});
    return t;
}

ColumnTable to_column_table(RecordKindCounts&& counts, std::span<const uint64_t> apertures) {
    ensure_numpy();
    ColumnTable t;
    t.row_index_values = aperture_numbers(apertures);
    std::vector<const char*> names;
    for (std::size_t type = 0; type < kFormattedRecordTypeCount; ++type)
        names.emplace_back(record_type_name(FormattedRecordType(type)));
    t.add(adopt(std::move(counts.counts), counts.rows), names);
    return t;
}

ColumnTable to_column_table(PulseColumns&& pulses, bool include_aperture_index) {
    ensure_numpy();
    const std::size_t rows = pulses.size();
    ColumnTable t;
    t.row_index_values = adopt_values(std::move(pulses.index));
    if (include_aperture_index) insert(t, "aperture_index", std::move(pulses.aperture_index));
    t.add(adopt(std::move(pulses.frames), rows), {"start_f", "end_f", "dur_f", "ipd_f"});
    t.add(adopt(std::move(pulses.quantities), rows),
          {"dur_s", "ipd_s", "snr", "intensity", "bin0_intensity", "intensity_display", "binratio", "bg_mean", "bg_std",
           "bin0_bg_mean", "bin0_bg_std"});
    // The frame's order interleaves the two blocks.
    t.order.assign({"start_f", "end_f", "dur_f", "dur_s", "ipd_f", "ipd_s", "snr", "intensity", "bin0_intensity",
                    "intensity_display", "binratio", "bg_mean", "bg_std", "bin0_bg_mean", "bin0_bg_std"});
    if (include_aperture_index) t.order.insert(t.order.begin(), "aperture_index");
    return t;
}

}  // namespace zpr::py

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

int numpy_type(ValueType type) {
    switch (type) {
        case ValueType::UInt16: return NPY_UINT16;
        case ValueType::UInt32: return NPY_UINT32;
        case ValueType::UInt64: return NPY_UINT64;
        case ValueType::Int64: return NPY_INT64;
        case ValueType::Float32: return NPY_FLOAT32;
        case ValueType::Float64: return NPY_FLOAT64;
        case ValueType::RecordType: case ValueType::Messages: break;
    }
    throw InternalFault("no NumPy type for an object column");
}

constexpr const char* kColumnCapsule = "zyn_pulse_reader.column";

// The capsule's context holds the buffer's allocated size, which freeing it needs.
void free_column(PyObject* capsule) {
    free_column_buffer(PyCapsule_GetPointer(capsule, kColumnCapsule),
                       reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule)));
}

// An array of `rank` dimensions over a buffer. The buffer moves into a capsule that becomes
// the array's base object, so it is freed exactly when NumPy drops the array.
PyRef array_over(OwnedBuffer&& values, int type, int rank, npy_intp* shape, npy_intp* strides) {
    if (values.data() == nullptr || PyArray_MultiplyList(shape, rank) == 0) {
        values = OwnedBuffer();
        return checked(PyArray_SimpleNew(rank, shape, type));
    }
    void* data = const_cast<void*>(values.data());
    PyObject* capsule = PyCapsule_New(data, kColumnCapsule, nullptr);
    if (capsule == nullptr) throw PythonError{};  // `values` still frees the buffer
    PyRef owner(capsule);
    // The destructor is set only once the capsule knows the size.
    PyCapsule_SetContext(capsule, reinterpret_cast<void*>(std::uintptr_t(values.release().buffer_bytes)));
    PyCapsule_SetDestructor(capsule, free_column);
    PyRef array = checked(PyArray_New(&PyArray_Type, rank, shape, type, strides, data, 0,
                                      NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED, nullptr));
    // SetBaseObject takes the capsule's reference whether or not it succeeds.
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
    return array;
}

// The first `rows` values of each column of the block, as a block.
PyRef adopt(ResultTable::Block&& block, std::size_t rows) {
    const std::size_t size = value_size(block.type);
    npy_intp shape[2] = {npy_intp(block.names.size()), npy_intp(rows)};
    npy_intp strides[2] = {npy_intp(block.stride * size), npy_intp(size)};
    return array_over(std::move(block.values), numpy_type(block.type), 2, shape, strides);
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

PyRef record_type_column(const FormattedRecordType* codes, std::size_t rows) {
    const RecordTypeNames& names = record_type_names();
    npy_intp shape[2] = {1, npy_intp(rows)};
    // A new object array starts out with every cell empty (NULL).
    PyRef array = checked(PyArray_SimpleNew(2, shape, NPY_OBJECT));
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    // Each cell holds a reference to its name: the references each name gets are counted
    // and taken in one step. Whole rounds of the copies first, so that each row's copy is
    // known without a division.
    std::size_t row = 0;
    for (; row + kNameCopies <= rows; row += kNameCopies)
        for (std::size_t copy = 0; copy < kNameCopies; ++copy)
            cells[row + copy] = names[std::size_t(codes[row + copy])][copy];
    for (std::size_t copy = 0; row < rows; ++row, ++copy) cells[row] = names[std::size_t(codes[row])][copy];
    const NameReferences references = count_name_references(codes, rows);
    for (std::size_t type = 0; type < names.size(); ++type) {
        for (std::size_t copy = 0; copy < kNameCopies; ++copy) {
            PyObject* name = names[type][copy];
            Py_SET_REFCNT(name, Py_REFCNT(name) + Py_ssize_t(references[type][copy]));
        }
    }
    return array;
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

// The block as NumPy holds it: numbers over the block's own buffer, text as str objects.
PyRef block_values(const ResultTable& table, ResultTable::Block&& block) {
    switch (block.type) {
        case ValueType::RecordType:
            return record_type_column(static_cast<const FormattedRecordType*>(block.values.data()), table.rows);
        case ValueType::Messages:
            return error_column(table.rows, table.messages);
        default:
            return adopt(std::move(block), table.rows);
    }
}

}  // namespace

ColumnTable to_column_table(ResultTable&& result) {
    ensure_numpy();
    ColumnTable t;
    for (ResultTable::Block& block : result.blocks) {
        std::vector<const char*> names = block.names;
        t.blocks.push_back({block_values(result, std::move(block)), std::move(names)});
    }
    t.order = std::move(result.order);
    if (result.row_index) {
        npy_intp shape[1] = {npy_intp(result.rows)};
        t.row_index_values = array_over(std::move(result.row_index->values), numpy_type(result.row_index->type), 1,
                                        shape, nullptr);
    }
    return t;
}

}  // namespace zpr::py

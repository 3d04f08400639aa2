// iter_pulses and iter_all_records: a run walked in batches of whole apertures, each batch
// a DataFrame like the whole-run call's (get_pulses_many, get_all_records_many) for its
// apertures.
//
// Everything about the call is checked when the method is called: the arguments, the
// filter, and that every aperture is in the file. The iterator keeps the reader object
// alive but borrows it exclusively only while it produces a batch, so other calls on the
// reader work between batches; a reader closed in the meantime fails the next batch with the
// closed-reader error. A batch that fails ends the walk.
#include "pulse_reader/batch_iterator.hpp"

#include "arguments.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/aperture_batches.hpp"
#include "pulse_reader/borrow.hpp"
#include "pulse_reader/methods.hpp"

#include <new>
#include <optional>

namespace zpr::py {

namespace {

// An integer of at least 1, converted like an aperture number (the same TypeError and
// OverflowError), with a ValueError for anything smaller.
uint64_t to_batch_records(PyObject* value) {
    PyRef index = checked(PyNumber_Index(value));
    PyRef one = checked(PyLong_FromLong(1));
    const int below = PyObject_RichCompareBool(index.get(), one.get(), Py_LT);
    check_status(below);
    if (below) raise(PyExc_ValueError, "batch_records must be at least 1");
    return to_u64(index.get());
}

uint64_t batch_records_argument(PyObject* argument) {
    if (argument == nullptr) return kDefaultBatchRecords;
    return convert_argument("batch_records", argument, to_batch_records);
}

struct PyBatchIterator {
    PyObject_HEAD
    PyObject* reader;  // the PulseReader object walked
    std::optional<Walk> walk;  // empty once the walk has ended early
    bool pulses;  // batches of pulses, or of records
};

PyObject* new_iterator(PyObject* reader, Walk&& walk, bool pulses) {
    PyObject* self = BatchIteratorType.tp_alloc(&BatchIteratorType, 0);
    if (self == nullptr) throw PythonError{};
    auto* object = reinterpret_cast<PyBatchIterator*>(self);
    object->reader = Py_NewRef(reader);
    new (&object->walk) std::optional<Walk>(std::move(walk));
    object->pulses = pulses;
    return self;
}

// A batch's table with the room its columns reserved past its rows given back (a batch's
// room is an upper bound, the same for every batch): the caller holds each batch while the
// next one is made, and unfilled huge pages at the end of every column would count twice.
ResultTable held_batch(ResultTable table) {
    table.release_unused_room();
    return table;
}

PyObject* batch_next(PyObject* py_self) {
    return guarded([&]() -> PyObject* {
        auto* self = reinterpret_cast<PyBatchIterator*>(py_self);
        if (self->reader == nullptr || !self->walk || self->walk->batches.done()) return nullptr;
        auto* owner = reinterpret_cast<PyPulseReader*>(self->reader);
        ExclusiveAccess access(owner);
        const zpr::PulseReader& reader = open_reader(owner);
        Walk& walk = *self->walk;
        try {
            if (self->pulses) {
                ResultTable pulses = run_query(kPulsesFailed, [&] {
                    return held_batch(result_table(next_pulses(reader, walk), true));
                });
                return pulses_many_frame(owner, std::move(pulses)).release();
            }
            ResultTable records = run_query(kRecordsFailed, [&] { return held_batch(result_table(next_records(reader, walk))); });
            return records_many_frame(owner, std::move(records)).release();
        } catch (const PythonError&) {
            self->walk.reset();
            throw;
        }
    });
}

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyBatchIterator*>(self)->reader);
    return 0;
}

int batch_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<PyBatchIterator*>(self)->reader);
    return 0;
}

void batch_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    batch_clear(self);
    auto* object = reinterpret_cast<PyBatchIterator*>(self);
    using OptionalWalk = std::optional<Walk>;
    object->walk.~OptionalWalk();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PulseColumns next_pulses(const zpr::PulseReader& reader, Walk& walk) {
    const ApertureBatches::Batch batch = walk.batches.next(reader);
    return reader.get_pulses_many(batch.apertures, batch.headers, walk.filter_or_null(), batch.room);
}

ManyApertureRecords next_records(const zpr::PulseReader& reader, Walk& walk) {
    const ApertureBatches::Batch batch = walk.batches.next(reader);
    return reader.get_all_records_many(batch.apertures, batch.headers, batch.room);
}

Walk plan_pulses_walk(PyPulseReader* self, PyObject* apertures, PyObject* pulse_filter,
                      PyObject* pulse_filter_kwargs, PyObject* batch_records) {
    uint64_t records = kDefaultBatchRecords;
    PulsesRequest request = pulses_request(self, apertures, pulse_filter, pulse_filter_kwargs,
                                           [&] { records = batch_records_argument(batch_records); });
    ApertureBatches batches = run_query(kPulsesFailed, [&] {
        return ApertureBatches(request.reader, request.apertures, records);
    });
    return {std::move(batches), std::move(request.filter)};
}

Walk plan_records_walk(PyPulseReader* self, PyObject* apertures, PyObject* batch_records) {
    std::optional<std::vector<uint64_t>> given = convert_apertures(apertures);
    const uint64_t records = batch_records_argument(batch_records);
    const zpr::PulseReader& reader = open_reader(self);
    const std::vector<uint64_t> numbers = requested_apertures(std::move(given), reader);
    ApertureBatches batches = run_query(kRecordsFailed, [&] { return ApertureBatches(reader, numbers, records); });
    return {std::move(batches), std::nullopt};
}

PyObject* iter_pulses(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "pulse_filter", "pulse_filter_kwargs", "batch_records"};
        PyObject* a[4];
        bind_arguments({"PulseReader.iter_pulses", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        return new_iterator(py_self, plan_pulses_walk(self, a[0], a[1], a[2], a[3]), true);
    });
}

PyObject* iter_all_records(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "batch_records"};
        PyObject* a[2];
        bind_arguments({"PulseReader.iter_all_records", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        return new_iterator(py_self, plan_records_walk(self, a[0], a[1]), false);
    });
}

PyTypeObject BatchIteratorType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zyn_pulse_reader.BatchIterator";
    type.tp_basicsize = sizeof(PyBatchIterator);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "Batches of whole apertures, each a DataFrame, from PulseReader.iter_pulses or iter_all_records";
    type.tp_dealloc = batch_dealloc;
    type.tp_traverse = batch_traverse;
    type.tp_clear = batch_clear;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = batch_next;
    return type;
}();

const char* const kIterPulsesDoc =
    "iter_pulses($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None, batch_records=1048576)\n"
    "--\n"
    "\n"
    "Walk the pulses of many apertures in batches of whole apertures, one DataFrame per batch\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - The aperture indices, in the order wanted; all apertures of the file, in index order, when None\n"
    "* `pulse_filter` - Optional PulseFilter applied to every aperture\n"
    "* `pulse_filter_kwargs` - Optional keyword arguments for the pulse filter, as for get_pulses\n"
    "* `batch_records` - The most records of the file a batch covers (at least 1); an aperture with more\n"
    "  records forms a batch of its own\n"
    "\n"
    "# Returns\n"
    "An iterator of pandas DataFrames, each like get_pulses_many over the batch's apertures;\n"
    "concatenated, they equal get_pulses_many with the same arguments. The arguments are checked\n"
    "at once; the reader is borrowed only while a batch is being read, so other calls may run\n"
    "between batches, and a batch after close() raises the closed-reader error.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "for pulses in pulse_reader.iter_pulses(batch_records=1_000_000):\n"
    "    print(len(pulses))\n"
    "```";

const char* const kIterAllRecordsDoc =
    "iter_all_records($self, apertures=None, batch_records=1048576)\n"
    "--\n"
    "\n"
    "Walk the records of many apertures in batches of whole apertures, one DataFrame per batch\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - The aperture indices, in the order wanted; all apertures of the file, in index order, when None\n"
    "* `batch_records` - The most records of the file a batch covers (at least 1); an aperture with more\n"
    "  records forms a batch of its own\n"
    "\n"
    "# Returns\n"
    "An iterator of pandas DataFrames, each like get_all_records_many over the batch's apertures;\n"
    "concatenated, they equal get_all_records_many with the same apertures. The arguments are\n"
    "checked at once; the reader is borrowed only while a batch is being read.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "for records in pulse_reader.iter_all_records():\n"
    "    print(len(records))\n"
    "```";

}  // namespace zpr::py

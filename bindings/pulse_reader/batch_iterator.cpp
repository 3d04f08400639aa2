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

constexpr uint64_t kDefaultBatchRecords = 1048576;

struct PyBatchIterator {
    PyObject_HEAD
    PyObject* reader;  // the PulseReader object walked
    std::optional<ApertureBatches> batches;  // empty once the walk has ended early
    std::optional<zpr::PulseFilter> filter;
    bool pulses;  // batches of pulses, or of records
};

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

PyObject* new_iterator(PyObject* reader, ApertureBatches&& batches, std::optional<zpr::PulseFilter> filter,
                       bool pulses) {
    PyObject* self = BatchIteratorType.tp_alloc(&BatchIteratorType, 0);
    if (self == nullptr) throw PythonError{};
    auto* object = reinterpret_cast<PyBatchIterator*>(self);
    object->reader = Py_NewRef(reader);
    new (&object->batches) std::optional<ApertureBatches>(std::move(batches));
    new (&object->filter) std::optional<zpr::PulseFilter>(filter);
    object->pulses = pulses;
    return self;
}

PyObject* batch_next(PyObject* py_self) {
    return guarded([&]() -> PyObject* {
        auto* self = reinterpret_cast<PyBatchIterator*>(py_self);
        if (self->reader == nullptr || !self->batches || self->batches->done()) return nullptr;
        auto* owner = reinterpret_cast<PyPulseReader*>(self->reader);
        ExclusiveAccess access(owner);
        const zpr::PulseReader& reader = open_reader(owner);
        ApertureBatches& batches = *self->batches;
        const zpr::PulseFilter* filter = self->filter ? &*self->filter : nullptr;
        try {
            if (self->pulses) {
                PulseColumns pulses = run_query(kPulsesFailed, [&] {
                    const ApertureBatches::Batch batch = batches.next(reader);
                    return reader.get_pulses_many(batch.apertures, batch.headers, filter, batch.room);
                });
                return pulses_many_frame(owner, std::move(pulses)).release();
            }
            ManyApertureRecords records = run_query(kRecordsFailed, [&] {
                const ApertureBatches::Batch batch = batches.next(reader);
                return reader.get_all_records_many(batch.apertures, batch.headers, batch.room);
            });
            return records_many_frame(owner, std::move(records)).release();
        } catch (const PythonError&) {
            self->batches.reset();
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
    using Batches = std::optional<ApertureBatches>;
    using Filter = std::optional<zpr::PulseFilter>;
    object->batches.~Batches();
    object->filter.~Filter();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyObject* iter_pulses(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "pulse_filter", "pulse_filter_kwargs", "batch_records"};
        PyObject* a[4];
        bind_arguments({"PulseReader.iter_pulses", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        uint64_t batch_records = 0;
        PulsesRequest request =
            pulses_request(self, a[0], a[1], a[2], [&] { batch_records = batch_records_argument(a[3]); });

        ApertureBatches batches = run_query(kPulsesFailed, [&] {
            return ApertureBatches(request.reader, request.apertures, batch_records);
        });
        return new_iterator(py_self, std::move(batches), request.filter, true);
    });
}

PyObject* iter_all_records(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "batch_records"};
        PyObject* a[2];
        bind_arguments({"PulseReader.iter_all_records", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        std::optional<std::vector<uint64_t>> given = convert_apertures(a[0]);
        const uint64_t batch_records = batch_records_argument(a[1]);
        const zpr::PulseReader& reader = open_reader(self);
        const std::vector<uint64_t> apertures = requested_apertures(std::move(given), reader);

        ApertureBatches batches = run_query(kRecordsFailed, [&] {
            return ApertureBatches(reader, apertures, batch_records);
        });
        return new_iterator(py_self, std::move(batches), std::nullopt, false);
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

// arrow_pulses, arrow_records, arrow_summary and arrow_record_kinds: the whole-run answers as Arrow streams
// (arrow/arrow_stream.hpp), batch by batch, without pandas.
//
// A stream walks the run as iter_pulses and iter_all_records do, in batches of whole
// apertures, and everything about the call is checked when the method is called. Batches
// are read as the consumer asks for them, a few ahead on a helper thread
// (arrow/read_ahead.hpp), without the interpreter lock. The stream holds the reader's open
// file itself: closing or dropping the PulseReader does not end a stream that is open,
// which reads on to its end (the file is closed when the last of them lets go).
#include "arguments.hpp"
#include "arrow/arrow_stream.hpp"
#include "pulse_reader/borrow.hpp"
#include "pulse_reader/methods.hpp"

#include <memory>
#include <utility>

namespace zpr::py {

namespace {

// The schema's metadata: the reader's base attributes as a JSON object, and the file's
// metadata document as stored.
std::vector<std::pair<std::string, std::string>> schema_metadata(PyPulseReader* self) {
    PyRef json = checked(PyImport_ImportModule("json"));
    PyRef attrs = checked(PyObject_CallMethod(json.get(), "dumps", "O", self->attrs));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(attrs.get(), &size);
    if (text == nullptr) throw PythonError{};
    return {{"zyn_pulse_reader.attrs", std::string(text, std::size_t(size))},
            {"zyn_pulse_reader.metadata", open_reader(self).metadata_text()}};
}

// A stream over `walk`, each batch the table `read(reader, batch, filter)` reads, with the
// columns of `empty` (the answer's table without rows). Batches are read ahead
// (arrow/read_ahead.hpp): each batch's work holds the reader and the walk's filter itself.
//
// Unlike iter_pulses' batches, a stream's are not asked for room of the walk's common size:
// consumers such as pyarrow.table keep every batch, so each batch's columns are new memory,
// which fills fastest when sized to the batch and backed by huge pages, as a whole-run
// answer's is. A consumer that lets batches go still has their memory used again.
template <class Read>
PyObject* walk_stream(PyPulseReader* self, ResultTable&& empty, const char* failure_prefix, Walk&& walk, Read read) {
    StreamSchema schema = stream_schema(empty, schema_metadata(self));
    std::shared_ptr<const zpr::PulseReader> reader = self->reader;
    auto shared_walk = std::make_shared<Walk>(std::move(walk));
    NextBatch next = [reader, walk = std::move(shared_walk), read]() -> std::optional<BatchWork> {
        if (walk->batches.done()) return std::nullopt;
        return [reader, walk, read, batch = walk->batches.next(*reader)] {
            ResultTable table = read(*reader, batch, walk->filter_or_null());
            // Consumers such as pyarrow.table keep every batch to the end.
            table.release_unused_room();
            return table;
        };
    };
    return new_arrow_stream(std::move(schema), std::move(next), failure_prefix);
}

using Batch = ApertureBatches::Batch;

}  // namespace

PyObject* arrow_pulses(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "pulse_filter", "pulse_filter_kwargs", "batch_records"};
        PyObject* a[4];
        bind_arguments({"PulseReader.arrow_pulses", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        return walk_stream(self, result_table(PulseColumns{}, true), kPulsesFailed,
                           plan_pulses_walk(self, a[0], a[1], a[2], a[3]),
                           [](const zpr::PulseReader& reader, const Batch& batch, const PulseFilter* filter) {
                               return result_table(
                                   reader.get_pulses_many(batch.apertures, batch.headers, filter), true);
                           });
    });
}

PyObject* arrow_records(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "batch_records"};
        PyObject* a[2];
        bind_arguments({"PulseReader.arrow_records", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        return walk_stream(self, result_table(ManyApertureRecords{}), kRecordsFailed,
                           plan_records_walk(self, a[0], a[1]),
                           [](const zpr::PulseReader& reader, const Batch& batch, const PulseFilter*) {
                               return result_table(
                                   reader.get_all_records_many(batch.apertures, batch.headers));
                           });
    });
}

PyObject* arrow_summary(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "pulse_filter", "pulse_filter_kwargs"};
        PyObject* a[3];
        bind_arguments({"PulseReader.arrow_summary", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        return walk_stream(self, result_table(ApertureSummaries{}, {}), kPulsesFailed,
                           plan_pulses_walk(self, a[0], a[1], a[2], nullptr),
                           [](const zpr::PulseReader& reader, const Batch& batch, const PulseFilter* filter) {
                               return summary_table(reader, batch.apertures, filter);
                           });
    });
}

PyObject* arrow_record_kinds(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures"};
        PyObject* a[1];
        bind_arguments({"PulseReader.arrow_record_kinds", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        return walk_stream(self, result_table(RecordKindCounts{}, {}), kRecordsFailed,
                           plan_records_walk(self, a[0], nullptr),
                           [](const zpr::PulseReader& reader, const Batch& batch, const PulseFilter*) {
                               return result_table(reader.record_kinds(batch.apertures), batch.apertures);
                           });
    });
}

const char* const kArrowPulsesDoc =
    "arrow_pulses($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None, batch_records=1048576)\n"
    "--\n"
    "\n"
    "The pulses of many apertures as an Arrow stream, in batches of whole apertures\n"
    "\n"
    "# Arguments\n"
    "As for iter_pulses.\n"
    "\n"
    "# Returns\n"
    "A one-shot stream that pyarrow, Polars, DuckDB and other Arrow consumers read through its\n"
    "__arrow_c_stream__ method. Its columns are those of get_pulses_many with the record position\n"
    "as an ordinary column: aperture_index, position, start_f, ... The schema's metadata holds the\n"
    "reader's base attributes as JSON (\"zyn_pulse_reader.attrs\") and the file's metadata document\n"
    "(\"zyn_pulse_reader.metadata\"). The arguments are checked at once; batches are read\n"
    "ahead of the consumer on a helper thread, and the stream goes on reading when the reader is\n"
    "closed.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "import pyarrow as pa\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "pulses = pa.table(pulse_reader.arrow_pulses())\n"
    "```";

const char* const kArrowRecordsDoc =
    "arrow_records($self, apertures=None, batch_records=1048576)\n"
    "--\n"
    "\n"
    "The records of many apertures as an Arrow stream, in batches of whole apertures\n"
    "\n"
    "# Arguments\n"
    "As for iter_all_records.\n"
    "\n"
    "# Returns\n"
    "A one-shot stream like arrow_pulses, whose columns are those of get_all_records_many with each\n"
    "record's position within its aperture as an ordinary column: aperture_index, position, ipd_f,\n"
    "... record_type is dictionary-encoded (int8 codes over the eight kind names).\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "import pyarrow as pa\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "records = pa.table(pulse_reader.arrow_records())\n"
    "```";

const char* const kArrowSummaryDoc =
    "arrow_summary($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None)\n"
    "--\n"
    "\n"
    "The summary of many apertures as an Arrow stream, one row per aperture\n"
    "\n"
    "# Arguments\n"
    "As for summary.\n"
    "\n"
    "# Returns\n"
    "A one-shot stream like arrow_pulses, whose columns are those of summary with the aperture\n"
    "number as an ordinary first column, aperture_index; error is text, null where the aperture\n"
    "has none.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "import pyarrow as pa\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "per_aperture = pa.table(pulse_reader.arrow_summary())\n"
    "```";

const char* const kArrowRecordKindsDoc =
    "arrow_record_kinds($self, apertures=None)\n"
    "--\n"
    "\n"
    "The record kinds of many apertures as an Arrow stream, one row per aperture\n"
    "\n"
    "# Arguments\n"
    "As for record_kinds.\n"
    "\n"
    "# Returns\n"
    "A one-shot stream like arrow_pulses, whose columns are those of record_kinds with the\n"
    "aperture number as an ordinary first column, aperture_index.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "import pyarrow as pa\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "kinds = pa.table(pulse_reader.arrow_record_kinds())\n"
    "```";

}  // namespace zpr::py

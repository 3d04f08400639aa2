// The queries answered as one DataFrame: get_all_records and get_pulses for one aperture,
// get_all_records_many, get_pulses_many, summary and record_kinds for many.
//
// The core work (reading, decoding, building pulses, filtering) runs with the interpreter
// lock released while the object stays exclusively borrowed; the tables and frames are
// built with the lock held again.
#include "arguments.hpp"
#include "error.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/borrow.hpp"
#include "pulse_reader/methods.hpp"
#include "records/column_table.hpp"

namespace zpr::py {

namespace {

PyRef unsigned_int(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

void set_attr(PyObject* attrs, const char* key, uint64_t value) {
    check_status(PyDict_SetItemString(attrs, key, unsigned_int(value).get()));
}

// A DataFrame over `table` carrying `attrs`, with `row_index` as its row index when given.
PyRef frame_with_attrs(PyPulseReader* self, const ColumnTable& table, PyObject* attrs, PyObject* row_index = nullptr) {
    PyRef frame = make_data_frame(self->pandas, self->frame_from_blocks, table, row_index);
    check_status(PyObject_SetAttrString(frame.get(), "attrs", attrs));
    return frame;
}

// A DataFrame over `table` whose attrs hold the aperture's identity, then the reader's base
// attributes.
PyRef to_dataframe(PyPulseReader* self, const ApertureHeader& header, const ColumnTable& table,
                   PyObject* row_index = nullptr) {
    PyRef attrs = checked(PyDict_New());
    set_attr(attrs.get(), "aperture_index", header.aperture_index());
    set_attr(attrs.get(), "aperture_x", header.aperture_x());
    set_attr(attrs.get(), "aperture_y", header.aperture_y());
    set_attr(attrs.get(), "aperture_byteloc", header.aperture_byteloc);
    check_status(PyDict_Update(attrs.get(), self->attrs));
    return frame_with_attrs(self, table, attrs.get(), row_index);
}

// A row index over `values`, named `name` (None for no name). Building the frame over this
// index gives the same frame as popping a column and calling set_index with it, at a third of
// the cost.
PyRef row_index(PyPulseReader* self, PyObject* values, PyObject* name) {
    PyRef index_type = checked(PyObject_GetAttrString(self->pandas, "Index"));
    PyRef args = checked(PyTuple_Pack(1, values));
    PyRef kwargs = checked(Py_BuildValue("{s:O,s:O}", "name", name, "copy", Py_False));
    return checked(PyObject_Call(index_type.get(), args.get(), kwargs.get()));
}

// The pulses table's row index: each pulse's record position, named "index".
PyRef record_position_index(PyPulseReader* self, const ColumnTable& table) {
    PyRef name = checked(PyUnicode_FromString("index"));
    return row_index(self, table.row_index_values.get(), name.get());
}

// A frame over `table` with `row_index`, carrying a copy of the reader's base attributes.
PyRef frame_with_base_attrs(PyPulseReader* self, const ColumnTable& table, PyObject* row_index) {
    PyRef attrs = checked(PyDict_Copy(self->attrs));
    return frame_with_attrs(self, table, attrs.get(), row_index);
}

// A frame of one row per aperture, indexed by "aperture_index", carrying the base attributes.
PyRef per_aperture_frame(PyPulseReader* self, const ColumnTable& table) {
    PyRef name = checked(PyUnicode_FromString("aperture_index"));
    PyRef index = row_index(self, table.row_index_values.get(), name.get());
    return frame_with_base_attrs(self, table, index.get());
}

}  // namespace

PyObject* get_all_records(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"aperture_index"};
        PyObject* a[1];
        bind_arguments({"PulseReader.get_all_records", names, 1}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        const uint64_t aperture = convert_argument("aperture_index", a[0], to_u64);
        const zpr::PulseReader& reader = open_reader(self);

        ApertureRecords result = run_query(
            kRecordsFailed, [&] { return reader.get_all_records(aperture); }, short_aperture_query(reader, aperture));
        const ColumnTable table = to_column_table(result_table(std::move(result.records)));
        return to_dataframe(self, result.header, table).release();
    });
}

PyObject* get_pulses(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"aperture_index", "include_aperture_index", "pulse_filter",
                                            "pulse_filter_kwargs"};
        PyObject* a[4];
        bind_arguments({"PulseReader.get_pulses", names, 1}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        const uint64_t aperture = convert_argument("aperture_index", a[0], to_u64);
        const bool include_aperture_index =
            a[1] == nullptr || convert_argument("include_aperture_index", a[1], to_bool);
        const FilterArguments filter_arguments = convert_filter_arguments(a[2], a[3]);
        const zpr::PulseReader& reader = open_reader(self);
        const std::optional<zpr::PulseFilter> filter = choose_filter(filter_arguments, self->default_filter);

        AperturePulses result = run_query(
            kPulsesFailed, [&] { return reader.get_pulses(aperture, filter ? &*filter : nullptr); },
            short_aperture_query(reader, aperture));
        const ColumnTable table = to_column_table(result_table(std::move(result.pulses), include_aperture_index));
        PyRef row_index = record_position_index(self, table);
        return to_dataframe(self, result.header, table, row_index.get()).release();
    });
}

bool short_aperture_query(const zpr::PulseReader& reader, uint64_t aperture) {
    constexpr uint32_t kLongApertureRecords = 1 << 18;
    // One read of 16 bytes, with the lock held: less than handing it off would cost.
    try {
        return reader.read_aperture_header(aperture).record_count() < kLongApertureRecords;
    } catch (const Error&) {
        return true;
    }
}

std::optional<std::vector<uint64_t>> convert_apertures(PyObject* argument) {
    if (argument == nullptr || argument == Py_None) return std::nullopt;
    return convert_argument("apertures", argument, to_u64_vector);
}

std::vector<uint64_t> requested_apertures(std::optional<std::vector<uint64_t>>&& given, const zpr::PulseReader& reader) {
    if (given) return std::move(*given);
    const auto& apertures = reader.index().apertures();
    return {apertures.begin(), apertures.end()};
}

ResultTable summary_table(const zpr::PulseReader& reader, std::span<const uint64_t> apertures,
                          const zpr::PulseFilter* filter) {
    ApertureSummaries summaries = reader.summary(apertures, filter);
    // A row's error is the one get_pulses raises for its aperture.
    for (auto& error : summaries.errors) error.second = kPulsesFailed + error.second;
    return result_table(std::move(summaries), apertures);
}

PyRef pulses_many_frame(PyPulseReader* self, ResultTable&& pulses) {
    const ColumnTable table = to_column_table(std::move(pulses));
    PyRef index = record_position_index(self, table);
    return frame_with_base_attrs(self, table, index.get());
}

PyRef records_many_frame(PyPulseReader* self, ResultTable&& records) {
    const ColumnTable table = to_column_table(std::move(records));
    PyRef index = row_index(self, table.row_index_values.get(), Py_None);
    return frame_with_base_attrs(self, table, index.get());
}

PyObject* get_pulses_many(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "pulse_filter", "pulse_filter_kwargs"};
        PyObject* a[3];
        bind_arguments({"PulseReader.get_pulses_many", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        const PulsesRequest request = pulses_request(self, a[0], a[1], a[2], [] {});

        PulseColumns pulses = run_query(kPulsesFailed, [&] {
            return request.reader.get_pulses_many(request.apertures, request.filter_or_null());
        });
        return pulses_many_frame(self, result_table(std::move(pulses), true)).release();
    });
}

namespace {

// A whole-run records call whose one argument is `apertures`: `query(reader, apertures)`
// runs without the interpreter lock, and `frame(self, result, apertures)` makes its frame.
template <class Query, class Frame>
PyObject* apertures_query(const char* method, PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Query&& query, Frame&& frame) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures"};
        PyObject* a[1];
        bind_arguments({method, names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        std::optional<std::vector<uint64_t>> given = convert_apertures(a[0]);
        const zpr::PulseReader& reader = open_reader(self);
        const std::vector<uint64_t> apertures = requested_apertures(std::move(given), reader);

        auto result = run_query(kRecordsFailed, [&] { return query(reader, apertures); });
        return frame(self, std::move(result), apertures).release();
    });
}

}  // namespace

PyObject* get_all_records_many(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apertures_query(
        "PulseReader.get_all_records_many", py_self, args, nargs, kwnames,
        [](const zpr::PulseReader& reader, const std::vector<uint64_t>& apertures) {
            return reader.get_all_records_many(apertures);
        },
        [](PyPulseReader* self, ManyApertureRecords&& records, const std::vector<uint64_t>&) {
            return records_many_frame(self, result_table(std::move(records)));
        });
}

PyObject* summary(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "pulse_filter", "pulse_filter_kwargs"};
        PyObject* a[3];
        bind_arguments({"PulseReader.summary", names, 0}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        const PulsesRequest request = pulses_request(self, a[0], a[1], a[2], [] {});

        ResultTable summaries = run_query(kPulsesFailed, [&] {
            return summary_table(request.reader, request.apertures, request.filter_or_null());
        });
        const ColumnTable table = to_column_table(std::move(summaries));
        return per_aperture_frame(self, table).release();
    });
}

PyObject* record_kinds(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apertures_query(
        "PulseReader.record_kinds", py_self, args, nargs, kwnames,
        [](const zpr::PulseReader& reader, const std::vector<uint64_t>& apertures) {
            return reader.record_kinds(apertures);
        },
        [](PyPulseReader* self, RecordKindCounts&& counts, const std::vector<uint64_t>& apertures) {
            const ColumnTable table = to_column_table(result_table(std::move(counts), apertures));
            return per_aperture_frame(self, table);
        });
}

const char* const kSummaryDoc =
    "summary($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None)\n"
    "--\n"
    "\n"
    "Summarise the pulses of many apertures, one row per aperture, without building pulse rows\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - The aperture indices, in the order wanted; all apertures of the file, in index order, when None\n"
    "* `pulse_filter` - Optional PulseFilter applied to every aperture\n"
    "* `pulse_filter_kwargs` - Optional keyword arguments for the pulse filter, as for get_pulses\n"
    "\n"
    "# Returns\n"
    "A pandas DataFrame indexed by aperture (\"aperture_index\"), carrying the reader's base attributes,\n"
    "with the columns aperture_x and aperture_y (the aperture's frame attributes), records (its record\n"
    "count), pulses (the rows of get_pulses with the same filter), nonfinite (those pulses whose snr,\n"
    "intensity or binratio is not finite), dur_f_mean, ipd_f_mean, snr_mean, intensity_mean and\n"
    "binratio_mean (means of those pulse columns, summed in float64 in row order: ipd_f over the\n"
    "pulses after the first, the gaps between pulses; snr, intensity and binratio over their finite\n"
    "values; NaN where no value is left), first_start_f and last_end_f (start_f of the first pulse\n"
    "and end_f of the last; 0 without pulses), and error: None, or the message get_pulses raises for\n"
    "the aperture when it fails the filter's order check (its row then counts no pulses).\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "per_aperture = pulse_reader.summary(pulse_filter_kwargs={\"min_snr\": 3.0})\n"
    "```";

const char* const kRecordKindsDoc =
    "record_kinds($self, apertures=None)\n"
    "--\n"
    "\n"
    "Count the records of each kind of many apertures, one row per aperture, without building record rows\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - The aperture indices, in the order wanted; all apertures of the file, in index order, when None\n"
    "\n"
    "# Returns\n"
    "A pandas DataFrame indexed by aperture (\"aperture_index\"), carrying the reader's base attributes,\n"
    "with one uint64 column per record kind, named as get_all_records names the kinds: pulse, padding,\n"
    "long_pulse_update, long_pulse_dropped, step_up, step_down, background and unknown. Each counts\n"
    "the rows of get_all_records(aperture) whose record_type is that kind.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "kinds = pulse_reader.record_kinds()\n"
    "```";

const char* const kGetAllRecordsDoc =
    "get_all_records($self, aperture_index)\n"
    "--\n"
    "\n"
    "Get all formatted pulse records for a specific aperture index\n"
    "\n"
    "# Arguments\n"
    "* `aperture_index` - The index of the aperture to get the formatted pulse records for\n"
    "\n"
    "# Returns\n"
    "A pandas DataFrame containing the formatted pulse records for the specified aperture index\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "formatted_pulses = pulse_reader.get_all_records(0)\n"
    "```";

const char* const kGetAllRecordsManyDoc =
    "get_all_records_many($self, apertures=None)\n"
    "--\n"
    "\n"
    "Get all formatted pulse records of many apertures in one DataFrame\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - The aperture indices, in the order wanted; all apertures of the file, in index order, when None\n"
    "\n"
    "# Returns\n"
    "A pandas DataFrame equal to concatenating get_all_records(aperture) over the apertures, with an\n"
    "\"aperture_index\" column first; the index is each record's position within its aperture, and\n"
    "the frame carries the reader's base attributes.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "records = pulse_reader.get_all_records_many([0, 1])\n"
    "```";

const char* const kGetPulsesManyDoc =
    "get_pulses_many($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None)\n"
    "--\n"
    "\n"
    "Get the pulse records of many apertures in one DataFrame\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - The aperture indices, in the order wanted; all apertures of the file, in index order, when None\n"
    "* `pulse_filter` - Optional PulseFilter applied to every aperture\n"
    "* `pulse_filter_kwargs` - Optional keyword arguments for the pulse filter, as for get_pulses\n"
    "\n"
    "# Returns\n"
    "A pandas DataFrame equal to concatenating get_pulses(aperture) over the apertures, with an\n"
    "\"aperture_index\" column and each pulse's record position as the index, carrying the\n"
    "reader's base attributes. When an aperture fails the filter's order check, the error\n"
    "names it: \"Failed to get pulses: aperture N: The provided pulses aren't sorted!\".\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "pulses = pulse_reader.get_pulses_many()\n"
    "```";

const char* const kGetPulsesDoc =
    "get_pulses($self, aperture_index, include_aperture_index=True, pulse_filter=None, pulse_filter_kwargs=None)\n"
    "--\n"
    "\n"
    "Get the pulse records for a specific aperture index\n"
    "\n"
    "# Arguments\n"
    "* `aperture_index` - The index of the aperture to get the pulse records for\n"
    "* `include_aperture_index` - Whether to include the aperture index in the DataFrame\n"
    "# * `pulse_filter_kwargs` - Optional keyword arguments for the pulse filter\n"
    " (e.g., min_dur_f, min_dur_s, max_dur_s, min_snr, min_intensity, etc.)\n"
    " See the PulseFilter class for more details.\n"
    "\n"
    "# Returns\n"
    "A pandas DataFrame containing the pulse records for the specified aperture index.\n"
    "The index of each pulse corresponds to the position of that pulses's record in the\n"
    "full set of records for the specified aperture, including non-pulse records.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "pulses = pulse_reader.get_pulses(0)\n"
    "```";

}  // namespace zpr::py

// Methods of the Python PulseReader class defined outside its type's own file.
#pragma once

#include "error.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/aperture_batches.hpp"
#include "pulse_reader/py_pulse_reader.hpp"
#include "records/result_table.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zpr::py {

inline constexpr const char* kClosedMessage = "PulseReader cannot be used after the pulse file has been closed!";

inline constexpr const char* kPulsesFailed = "Failed to get pulses: ";
inline constexpr const char* kRecordsFailed = "Failed to get records: ";

// The open core reader; RuntimeError with the closed message once the object is closed.
zpr::PulseReader& open_reader(PyPulseReader* self);

// Runs a core query without the interpreter lock, watching for Ctrl-C unless `short_query`
// (see without_gil); an ordinary failure is raised as RuntimeError behind `prefix`.
template <class Query>
auto run_query(const char* prefix, Query&& query, bool short_query = false) {
    try {
        return without_gil(std::forward<Query>(query), !short_query);
    } catch (const Error& error) {
        raise(PyExc_RuntimeError, std::string(prefix) + error.message(), error.notes());
    }
}

// Whether a query of one aperture is short: its block holds fewer than a quarter million
// records (a few milliseconds of work), or its header cannot be read, so that the query
// fails at once with its own error.
bool short_aperture_query(const zpr::PulseReader& reader, uint64_t aperture);

// The `apertures` argument of the whole-run calls: the numbers given (a sequence), or every
// aperture of the file in index order for None or a missing argument.
std::vector<uint64_t> requested_apertures(std::optional<std::vector<uint64_t>>&& given, const zpr::PulseReader& reader);
std::optional<std::vector<uint64_t>> convert_apertures(PyObject* argument);

// What the whole-run pulse calls are asked for: the open reader, the apertures and the
// filter that applies.
struct PulsesRequest {
    const zpr::PulseReader& reader;
    std::vector<uint64_t> apertures;
    std::optional<zpr::PulseFilter> filter;

    const zpr::PulseFilter* filter_or_null() const { return filter ? &*filter : nullptr; }
};

// Checks the arguments the whole-run pulse calls share, in get_pulses_many's order: the
// apertures, the filter arguments, then `convert_own()` for the call's own arguments, the
// reader being open, and the filter chosen (the reader's default unless the call names one).
template <class ConvertOwn>
PulsesRequest pulses_request(PyPulseReader* self, PyObject* apertures, PyObject* pulse_filter,
                             PyObject* pulse_filter_kwargs, ConvertOwn&& convert_own) {
    std::optional<std::vector<uint64_t>> given = convert_apertures(apertures);
    const FilterArguments filter_arguments = convert_filter_arguments(pulse_filter, pulse_filter_kwargs);
    convert_own();
    const zpr::PulseReader& reader = open_reader(self);
    std::optional<zpr::PulseFilter> filter = choose_filter(filter_arguments, self->default_filter);
    return {reader, requested_apertures(std::move(given), reader), filter};
}

// A walk over a run in batches of whole apertures (aperture_batches.hpp), as iter_pulses,
// iter_all_records and the Arrow streams make it: the arguments are checked and every
// aperture looked up when the call is made.
struct Walk {
    ApertureBatches batches;
    std::optional<zpr::PulseFilter> filter;

    const zpr::PulseFilter* filter_or_null() const { return filter ? &*filter : nullptr; }
};

inline constexpr uint64_t kDefaultBatchRecords = 1048576;

// The walk of the pulses of `apertures` with the filter that applies, `batch_records` records
// of the file at most per batch (the default when null).
Walk plan_pulses_walk(PyPulseReader* self, PyObject* apertures, PyObject* pulse_filter, PyObject* pulse_filter_kwargs,
                      PyObject* batch_records);
// The walk of the records of `apertures`.
Walk plan_records_walk(PyPulseReader* self, PyObject* apertures, PyObject* batch_records);

// The next batch of a walk (there must be one), read from `reader`. Pure core work.
PulseColumns next_pulses(const zpr::PulseReader& reader, Walk& walk);
ManyApertureRecords next_records(const zpr::PulseReader& reader, Walk& walk);

// The summary rows of `apertures`, each row's error as get_pulses raises it. Pure core work.
ResultTable summary_table(const zpr::PulseReader& reader, std::span<const uint64_t> apertures,
                          const zpr::PulseFilter* filter);

// The frames of the whole-run calls over their tables (result_table), which carry the
// reader's base attributes: pulses with an "aperture_index" column, indexed by record
// position ("index"); records with an "aperture_index" column first, indexed by position
// within their aperture.
PyRef pulses_many_frame(PyPulseReader* self, ResultTable&& pulses);
PyRef records_many_frame(PyPulseReader* self, ResultTable&& records);

PyObject* get_all_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_pulses_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_all_records_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* summary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* record_kinds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* iter_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* iter_all_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* arrow_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* arrow_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* arrow_summary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* arrow_record_kinds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* copy_apertures_to_new_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char* const kGetAllRecordsDoc;
extern const char* const kGetPulsesDoc;
extern const char* const kGetPulsesManyDoc;
extern const char* const kGetAllRecordsManyDoc;
extern const char* const kSummaryDoc;
extern const char* const kRecordKindsDoc;
extern const char* const kIterPulsesDoc;
extern const char* const kIterAllRecordsDoc;
extern const char* const kArrowPulsesDoc;
extern const char* const kArrowRecordsDoc;
extern const char* const kArrowSummaryDoc;
extern const char* const kArrowRecordKindsDoc;
extern const char* const kCopyAperturesDoc;

}  // namespace zpr::py

// PulseReader.copy_apertures_to_new_file: checks the requested apertures against the file's
// index and has the core copy the found ones into a new file.
#include "arguments.hpp"
#include "pulse_reader/borrow.hpp"
#include "pulse_reader/methods.hpp"

#include <algorithm>
#include <utility>

namespace zpr::py {

namespace {

struct Classified {
    std::vector<uint64_t> found;
    std::vector<uint64_t> missing;
};

// One merge walk over the sorted, deduplicated requests and the file's ascending apertures.
Classified classify(const std::vector<uint64_t>& requests, const std::vector<uint32_t>& file_apertures) {
    Classified result;
    std::size_t f = 0;
    for (uint64_t request : requests) {
        while (f < file_apertures.size() && file_apertures[f] < request) ++f;
        if (f < file_apertures.size() && file_apertures[f] == request) {
            result.found.push_back(request);
            ++f;
        } else {
            result.missing.push_back(request);
        }
    }
    return result;
}

std::string bracketed(const std::vector<uint64_t>& numbers) {
    std::string text = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(numbers[i]);
    }
    return text + "]";
}

}  // namespace

PyObject* copy_apertures_to_new_file(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyPulseReader*>(py_self);
        static const char* const names[] = {"apertures", "file_name", "ignore_missing_apertures"};
        PyObject* a[3];
        bind_arguments({"PulseReader.copy_apertures_to_new_file", names, 2}, args, nargs, kwnames, a);
        ExclusiveAccess access(self);
        std::vector<uint64_t> requests = convert_argument("apertures", a[0], to_u64_vector);
        const std::string file_name = convert_argument("file_name", a[1], to_file_name);
        const bool ignore_missing = a[2] != nullptr && convert_argument("ignore_missing_apertures", a[2], to_bool);
        const zpr::PulseReader& reader = open_reader(self);

        if (!std::is_sorted(requests.begin(), requests.end())) std::sort(requests.begin(), requests.end());
        requests.erase(std::unique(requests.begin(), requests.end()), requests.end());
        Classified classified = classify(requests, reader.index().apertures());
        // A whole run's list is large: only the found numbers are kept for the copy.
        requests = std::vector<uint64_t>();
        if (!classified.missing.empty() && !ignore_missing)
            raise(PyExc_RuntimeError,
                  "The following apertures were not found in the file: " + bracketed(classified.missing));
        // Pure file work on the core reader, which this call borrows exclusively: other
        // Python threads run meanwhile (a caller can watch the output grow).
        without_gil([&] {
            reader.copy_apertures_to_new_file(std::move(classified.found), file_name);
            return true;
        });
        Py_RETURN_NONE;
    });
}

const char* const kCopyAperturesDoc =
    "copy_apertures_to_new_file($self, apertures, file_name, ignore_missing_apertures=False)\n"
    "--\n"
    "\n"
    "Copy the specified apertures to a new file\n"
    "\n"
    "# Arguments\n"
    "* `apertures` - A list of aperture indices to copy\n"
    "* `file_name` - The name of the new file to create\n"
    "* `ignore_missing_apertures` - Whether to ignore missing apertures\n"
    "\n"
    "# Returns\n"
    "A new file containing the specified apertures.\n"
    "\n"
    "# Examples\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "pulse_reader.copy_apertures_to_new_file([0, 1], \"new_pulses.bin\")\n"
    "```\n"
    "\n"
    "```python\n"
    "from zyn_pulse_reader import PulseReader\n"
    "pulse_reader = PulseReader(\"path/to/pulses.bin\")\n"
    "pulse_reader.copy_apertures_to_new_file([0, 1], \"new_pulses.bin\", ignore_missing_apertures=True)\n"
    "```";

}  // namespace zpr::py

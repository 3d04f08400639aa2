// The module function merge_pulse_files: opens every input by name and has the core merge
// them. The inputs are closed whatever the outcome.
#include "arguments.hpp"
#include "pulse_reader/merge.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace zpr::py {

PyObject* merge_pulse_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const char* const names[] = {"file_names", "new_file_name"};
        PyObject* a[2];
        bind_arguments({"merge_pulse_files", names, 2}, args, nargs, kwnames, a);
        const std::vector<std::string> file_names = convert_argument("file_names", a[0], to_file_name_vector);
        const std::string new_file_name = convert_argument("new_file_name", a[1], to_file_name);

        std::vector<zpr::PulseReader> inputs;
        inputs.reserve(file_names.size());
        for (std::size_t k = 0; k < file_names.size(); ++k) {
            auto which = [&] {
                return Message("input " + std::to_string(k + 1) + " of " + std::to_string(file_names.size()) +
                               " to merge_pulse_files");
            };
            inputs.push_back(noting(which, [&] { return zpr::PulseReader::open(file_names[k]); }));
        }
        std::vector<const zpr::PulseReader*> readers;
        for (const zpr::PulseReader& input : inputs) readers.push_back(&input);
        // The inputs are core readers owned by this call; the merge touches no Python object,
        // so other Python threads run meanwhile (a caller can watch the output grow).
        without_gil([&] {
            zpr::merge_pulse_files(readers, new_file_name);
            return true;
        });
        Py_RETURN_NONE;
    });
}

}  // namespace zpr::py

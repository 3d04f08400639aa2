#pragma once

#include "py_support.hpp"

namespace zpr::py {

inline constexpr const char* kMergePulseFilesDoc = "merge_pulse_files(file_names, new_file_name)\n--\n\n";

PyObject* merge_pulse_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zpr::py

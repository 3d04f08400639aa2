// The Python class PulseReader: owns a core reader until it is closed, the default filter
// chosen at construction, and the attributes every DataFrame of the file carries.
#pragma once

#include "py_support.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <optional>

namespace zpr::py {

struct PyPulseReader {
    PyObject_HEAD
    std::optional<zpr::PulseReader> reader;  // empty once closed
    std::optional<zpr::PulseFilter> default_filter;
    PyObject* pandas;
    PyObject* frame_from_blocks;  // pandas' block-level frame constructor, or None
    PyObject* attrs;     // base DataFrame attributes
    PyObject* metadata;  // json.loads of the metadata text
    PyObject* apertures;  // list of the index's aperture numbers, made on first use, or null
    // Access to the object: 0 free, > 0 that many shared users, -1 one exclusive user.
    Py_ssize_t borrow;
};

extern PyTypeObject PulseReaderType;

}  // namespace zpr::py

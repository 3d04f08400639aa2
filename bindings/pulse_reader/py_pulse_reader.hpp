// The Python class PulseReader: owns a core reader until it is closed, the default filter
// chosen at construction, and the attributes every DataFrame of the file carries.
#pragma once

#include "py_support.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <memory>
#include <optional>

namespace zpr::py {

struct PyPulseReader {
    PyObject_HEAD
    // Empty once closed. Shared with the Arrow streams made from it, which go on reading after
    // the object is closed or gone: every read names its offset (pread), and the core reader
    // does not change once open, so a stream on a consumer's thread may read while the
    // object serves other calls.
    std::shared_ptr<zpr::PulseReader> reader;
    std::optional<zpr::PulseFilter> default_filter;
    PyObject* pandas;
    PyObject* frame_from_blocks;  // pandas' block-level frame constructor, or None
    PyObject* attrs;     // base DataFrame attributes
    PyObject* metadata;  // json.loads of the metadata text
    PyObject* file_name;  // the name it was opened with, as a str (os.fsdecode of it)
    PyObject* apertures;  // list of the index's aperture numbers, made on first use, or null
    // Access to the object: 0 free, > 0 that many shared users, -1 one exclusive user.
    Py_ssize_t borrow;
};

extern PyTypeObject PulseReaderType;

}  // namespace zpr::py

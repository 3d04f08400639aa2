// Methods of the Python PulseReader class defined outside its type's own file.
#pragma once

#include "pulse_reader/py_pulse_reader.hpp"

namespace zpr::py {

inline constexpr const char* kClosedMessage = "PulseReader cannot be used after the pulse file has been closed!";

// The open core reader; RuntimeError with the closed message once the object is closed.
zpr::PulseReader& open_reader(PyPulseReader* self);

PyObject* get_all_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_pulses_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* copy_apertures_to_new_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char* const kGetAllRecordsDoc;
extern const char* const kGetPulsesDoc;
extern const char* const kGetPulsesManyDoc;
extern const char* const kCopyAperturesDoc;

}  // namespace zpr::py

// The Python class PulseFilter: an opaque holder of pulse criteria built from keywords.
#pragma once

#include "py_support.hpp"
#include "pulse_filter/pulse_filter.hpp"

#include <optional>

namespace zpr::py {

struct PyPulseFilter {
    PyObject_HEAD
    zpr::PulseFilter filter;
};

extern PyTypeObject PulseFilterType;

// Builds criteria from a dict of filter keywords (null: no criteria). Keys must be str;
// unknown names are ignored; a value that fails its conversion raises that conversion's
// own exception.
zpr::PulseFilter filter_from_kwargs(PyObject* kwargs);

// The `pulse_filter` and `pulse_filter_kwargs` arguments of a call, None counting as absent.
struct FilterArguments {
    PyObject* pulse_filter = nullptr;         // a PulseFilter
    PyObject* pulse_filter_kwargs = nullptr;  // a dict
};

// Checks the two arguments' types, raising the argument conversion errors.
FilterArguments convert_filter_arguments(PyObject* pulse_filter, PyObject* pulse_filter_kwargs);

// The filter the arguments ask for: RuntimeError when both are given, else the one built
// from the keywords, else the object's criteria, else `fallback`.
std::optional<zpr::PulseFilter> choose_filter(const FilterArguments& arguments,
                                              std::optional<zpr::PulseFilter> fallback);

}  // namespace zpr::py

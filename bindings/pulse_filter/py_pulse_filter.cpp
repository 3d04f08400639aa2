#include "pulse_filter/py_pulse_filter.hpp"

#include "arguments.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <numeric>
#include <string_view>
#include <vector>

namespace zpr::py {

namespace {

template <class Field, class Convert>
bool set_if(std::string_view name, std::string_view key, PyObject* value, std::optional<Field>& field, Convert&& convert) {
    if (name != key) return false;
    field = convert(value);
    return true;
}

// Whether `key` names a criterion; sets it when it does.
bool set_criterion(zpr::PulseFilter& f, std::string_view key, PyObject* value) {
    if (set_if("min_dur_f", key, value, f.min_dur_f, to_u32)) return true;
    if (set_if("min_dur_s", key, value, f.min_dur_s, to_f32)) return true;
    if (set_if("max_dur_s", key, value, f.max_dur_s, to_f32)) return true;
    if (set_if("min_snr", key, value, f.min_snr, to_f32)) return true;
    if (set_if("min_intensity", key, value, f.min_intensity, to_f32)) return true;
    if (set_if("min_binratio", key, value, f.min_binratio, to_f32)) return true;
    if (set_if("max_binratio", key, value, f.max_binratio, to_f32)) return true;
    if (set_if("start_m", key, value, f.start_m, to_f32)) return true;
    if (set_if("end_m", key, value, f.end_m, to_f32)) return true;
    if (set_if("mask_s", key, value, f.mask_s, to_f32_pair)) return true;
    if (key != "recalc_ipd") return false;
    f.recalc_ipd = to_bool(value);
    return true;
}

constexpr std::array<std::string_view, 11> kCriteria = {
    "min_dur_f", "min_dur_s", "max_dur_s", "min_snr", "min_intensity", "min_binratio",
    "max_binratio", "start_m", "end_m", "mask_s", "recalc_ipd",
};

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t(0));
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = std::exchange(row[0], i);
        for (std::size_t j = 1; j <= b.size(); ++j)
            diagonal = std::exchange(row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])}));
    }
    return row[b.size()];
}

// Unknown keywords are ignored, as they always were (callers rely on that), but a misspelt
// criterion would silently filter nothing: a UserWarning names the key and the nearest
// criterion. `name` is the key's UTF-8 form, if it has one.
void warn_unknown(PyObject* key, const std::optional<std::string>& name) {
    std::string_view nearest = kCriteria.front();
    if (name) {
        auto closer = [&](std::string_view a, std::string_view b) { return edit_distance(*name, a) < edit_distance(*name, b); };
        nearest = *std::min_element(kCriteria.begin(), kCriteria.end(), closer);
    }
    PyRef message = checked(PyUnicode_FromFormat("unknown filter keyword %R is ignored; did you mean '%s'?", key,
                                                 std::string(nearest).c_str()));
    const char* text = PyUnicode_AsUTF8(message.get());
    if (text == nullptr) throw PythonError{};
    check_status(PyErr_WarnEx(PyExc_UserWarning, text, 1));
}

// The key as UTF-8; none for a str that has no UTF-8 form (a lone surrogate): such a key names
// no criterion and is ignored like any other unknown one.
std::optional<std::string> criterion_name(PyObject* key) {
    try {
        return to_utf8(key);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw;
        PyErr_Clear();
        return std::nullopt;
    }
}

PyObject* pulse_filter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Py_ssize_t given = PyTuple_GET_SIZE(args);
        if (given > 0)
            raise(PyExc_TypeError, "PulseFilter() takes 0 positional arguments but " + std::to_string(given) +
                                       (given == 1 ? " was" : " were") + " given");
        zpr::PulseFilter filter = filter_from_kwargs(kwargs);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw PythonError{};
        new (&reinterpret_cast<PyPulseFilter*>(self)->filter) zpr::PulseFilter(filter);
        return self;
    });
}

void pulse_filter_dealloc(PyObject* self) {
    reinterpret_cast<PyPulseFilter*>(self)->filter.~PulseFilter();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

zpr::PulseFilter filter_from_kwargs(PyObject* kwargs) {
    zpr::PulseFilter filter;
    if (kwargs == nullptr) return filter;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        // Hold the entry: a conversion may run Python code that changes the dict.
        PyRef held_key = PyRef::borrow(key);
        PyRef held_value = PyRef::borrow(value);
        const std::optional<std::string> name = criterion_name(key);
        if (!name || !set_criterion(filter, *name, value)) warn_unknown(key, name);
    }
    return filter;
}

FilterArguments convert_filter_arguments(PyObject* pulse_filter, PyObject* pulse_filter_kwargs) {
    FilterArguments arguments;
    if (pulse_filter != nullptr && pulse_filter != Py_None) {
        if (!PyObject_TypeCheck(pulse_filter, &PulseFilterType))
            convert_argument("pulse_filter", pulse_filter, [](PyObject* v) { raise_wrong_type(v, "PulseFilter"); });
        arguments.pulse_filter = pulse_filter;
    }
    if (pulse_filter_kwargs != nullptr && pulse_filter_kwargs != Py_None) {
        if (!PyDict_Check(pulse_filter_kwargs))
            convert_argument("pulse_filter_kwargs", pulse_filter_kwargs,
                             [](PyObject* v) { raise_wrong_type(v, "PyDict"); });
        arguments.pulse_filter_kwargs = pulse_filter_kwargs;
    }
    return arguments;
}

std::optional<zpr::PulseFilter> choose_filter(const FilterArguments& arguments,
                                              std::optional<zpr::PulseFilter> fallback) {
    if (arguments.pulse_filter != nullptr && arguments.pulse_filter_kwargs != nullptr)
        raise(PyExc_RuntimeError, "Cannot provide both a PulseFilter object and keyword arguments for the filter!");
    if (arguments.pulse_filter_kwargs != nullptr) return filter_from_kwargs(arguments.pulse_filter_kwargs);
    if (arguments.pulse_filter != nullptr) return reinterpret_cast<PyPulseFilter*>(arguments.pulse_filter)->filter;
    return fallback;
}

PyTypeObject PulseFilterType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zyn_pulse_reader.PulseFilter";
    type.tp_basicsize = sizeof(PyPulseFilter);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "PulseFilter(**kwargs)\n--\n\n";
    type.tp_new = pulse_filter_new;
    type.tp_dealloc = pulse_filter_dealloc;
    return type;
}();

}  // namespace zpr::py

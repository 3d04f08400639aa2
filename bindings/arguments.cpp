#include "arguments.hpp"

#include <cstring>

namespace zpr::py {

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c', as CPython lists missing arguments.
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void raise_too_many_positional(const Signature& s, Py_ssize_t given) {
    const std::size_t max = s.names.size();
    std::string takes = s.required == max ? std::to_string(max)
                                          : "from " + std::to_string(s.required) + " to " + std::to_string(max);
    std::string message = std::string(s.qualname) + "() takes " + takes + " positional argument" +
                          (max == 1 && s.required == max ? "" : "s") + " but " + std::to_string(given) +
                          (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message);
}

void bind_keyword(const Signature& s, PyObject* key, PyObject* value, Py_ssize_t nargs, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, s.names[i]) != 0) continue;
        if (out[i] != nullptr || Py_ssize_t(i) < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.qualname, s.names[i]);
            throw PythonError{};
        }
        out[i] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.qualname, key);
    throw PythonError{};
}

void check_required(const Signature& s, std::span<PyObject*> out) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < s.required; ++i)
        if (out[i] == nullptr) missing.emplace_back(s.names[i]);
    if (missing.empty()) return;
    raise(PyExc_TypeError, std::string(s.qualname) + "() missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                               quoted_list(missing));
}

void bind_positional(const Signature& s, PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> out) {
    if (nargs > Py_ssize_t(s.names.size())) raise_too_many_positional(s, nargs);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[std::size_t(i)] = args[i];
}

}  // namespace

void bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    bind_positional(s, args, nargs, out);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k)
        bind_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out);
    check_required(s, out);
}

void bind_arguments(const Signature& s, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    bind_positional(s, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value))
            bind_keyword(s, key, value, PyTuple_GET_SIZE(args), out);
    }
    check_required(s, out);
}

void prefix_type_error(const char* name) {
    PyObject* type = nullptr;
    PyObject* error = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    // Only an exact TypeError is renamed; subclasses and other errors pass unchanged.
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, error, traceback);
        return;
    }
    PyObject* cause = PyException_GetCause(error);
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, error);
    if (cause != nullptr) {
        PyObject* new_type = nullptr;
        PyObject* prefixed = nullptr;
        PyObject* new_traceback = nullptr;
        PyErr_Fetch(&new_type, &prefixed, &new_traceback);
        PyErr_NormalizeException(&new_type, &prefixed, &new_traceback);
        PyException_SetCause(prefixed, cause);
        PyErr_Restore(new_type, prefixed, new_traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(error);
    Py_XDECREF(traceback);
}

std::string to_utf8(PyObject* value) {
    if (!PyUnicode_Check(value)) raise_wrong_type(value, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) throw PythonError{};
    return std::string(text, std::size_t(size));
}

std::string to_file_name(PyObject* value) {
    // Bytes are a valid os.fspath value but not a file-name argument here: only str and
    // objects with __fspath__ are.
    PyRef path;
    if (PyUnicode_Check(value)) {
        path = PyRef::borrow(value);
    } else {
        if (PyBytes_Check(value) || !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__"))
            raise_wrong_type(value, "PyString");
        path = checked(PyOS_FSPath(value));
    }
    PyRef bytes = PyUnicode_Check(path.get()) ? checked(PyUnicode_EncodeFSDefault(path.get())) : std::move(path);
    return std::string(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
}

uint64_t to_u64(PyObject* value) {
    PyRef index = checked(PyNumber_Index(value));
    unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return result;
}

uint32_t to_u32(PyObject* value) {
    PyRef index = checked(PyNumber_Index(value));
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0 || result < 0 || result > static_cast<long long>(UINT32_MAX))
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return uint32_t(result);
}

float to_f32(PyObject* value) {
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw PythonError{};
    return float(result);
}

bool to_bool(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    // NumPy's boolean scalar ("numpy.bool" in NumPy 2, "numpy.bool_" before) is accepted
    // through its truth value, without importing NumPy here.
    const char* type_name = Py_TYPE(value)->tp_name;
    if (std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
        PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
        if (number == nullptr || number->nb_bool == nullptr) {
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         reinterpret_cast<PyObject*>(Py_TYPE(value)));
            throw PythonError{};
        }
        int truth = number->nb_bool(value);
        check_status(truth);
        return truth != 0;
    }
    raise_wrong_type(value, "PyBool");
}

std::pair<float, float> to_f32_pair(PyObject* value) {
    if (!PyTuple_Check(value)) raise_wrong_type(value, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(value);
    if (length != 2)
        raise(PyExc_ValueError,
              "expected tuple of length 2, but got tuple of length " + std::to_string(length));
    return {to_f32(PyTuple_GET_ITEM(value, 0)), to_f32(PyTuple_GET_ITEM(value, 1))};
}

namespace {

template <class Item, class Convert>
std::vector<Item> to_vector(PyObject* value, Convert&& convert) {
    if (PyUnicode_Check(value)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(value)) raise_wrong_type(value, "Sequence");
    std::vector<Item> items;
    Py_ssize_t length = PySequence_Size(value);
    if (length < 0) PyErr_Clear();
    else items.reserve(std::size_t(length));
    PyRef iterator = checked(PyObject_GetIter(value));
    while (PyRef item = PyRef(PyIter_Next(iterator.get()))) items.push_back(convert(item.get()));
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

}  // namespace

std::vector<uint64_t> to_u64_vector(PyObject* value) { return to_vector<uint64_t>(value, to_u64); }
std::vector<std::string> to_file_name_vector(PyObject* value) { return to_vector<std::string>(value, to_file_name); }

}  // namespace zpr::py

#include "py_support.hpp"

#include <new>

namespace zpr::py {

namespace {
PyObject* g_panic_exception = nullptr;
}

PyRef checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return PyRef(result);
}

void check_status(int status) {
    if (status < 0) throw PythonError{};
}

PyRef message_text(std::string_view message, std::span<const NameSpan> file_names) {
    auto text = [](std::string_view piece) {
        return checked(PyUnicode_DecodeUTF8(piece.data(), Py_ssize_t(piece.size()), "replace"));
    };
    if (file_names.empty()) return text(message);
    PyRef pieces = checked(PyList_New(0));
    auto add = [&](PyRef piece) { check_status(PyList_Append(pieces.get(), piece.get())); };
    std::size_t at = 0;
    for (const NameSpan& name : file_names) {
        add(text(message.substr(at, name.offset - at)));
        const std::string_view bytes = message.substr(name.offset, name.length);
        add(checked(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), Py_ssize_t(bytes.size()))));
        at = name.offset + name.length;
    }
    add(text(message.substr(at)));
    PyRef empty = checked(PyUnicode_FromStringAndSize("", 0));
    return checked(PyUnicode_Join(empty.get(), pieces.get()));
}

namespace {

// Sets the pending exception; should building its text fail, that failure is left pending.
void set_error(PyObject* type, std::string_view message, std::span<const NameSpan> file_names = {}) noexcept {
    try {
        PyErr_SetObject(type, message_text(message, file_names).get());
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    set_error(type, message);
    throw PythonError{};
}

PyObject* panic_exception() { return g_panic_exception; }
void set_panic_exception(PyObject* type) { g_panic_exception = type; }

void raise_wrong_type(PyObject* value, const char* expected) {
    PyRef name = checked(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
    throw PythonError{};
}

void set_python_error(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const PythonError&) {
        // Already set.
    } catch (const Error& error) {
        set_error(PyExc_RuntimeError, error.message(), error.file_names());
    } catch (const InternalFault& fault) {
        set_error(g_panic_exception, fault.message(), fault.file_names());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        set_error(g_panic_exception, other.what());
    } catch (...) {
        PyErr_SetString(g_panic_exception, "unexpected internal failure");
    }
}

}  // namespace zpr::py

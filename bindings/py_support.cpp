#include "py_support.hpp"

#include "error.hpp"

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

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
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
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const InternalFault& fault) {
        PyErr_SetString(g_panic_exception, fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        PyErr_SetString(g_panic_exception, other.what());
    } catch (...) {
        PyErr_SetString(g_panic_exception, "unexpected internal failure");
    }
}

}  // namespace zpr::py

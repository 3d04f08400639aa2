// Small helpers shared by the binding layer: owned references, the conversion of core
// errors into Python exceptions, and running core work without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error.hpp"
#include "stop_request.hpp"

#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zpr::py {

// An owned (strong) reference, released on scope exit.
class PyRef {
public:
    PyRef() = default;
    // Takes over `owned`; a null pointer means the call that produced it failed.
    explicit PyRef(PyObject* owned) : object_(owned) {}
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// A zeroed type object with its object header set, to be filled in field by field.
inline PyTypeObject blank_type() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return type;
}

// Thrown when a Python exception is already set; the entry point returns NULL for it.
struct PythonError {};

// Throws PythonError when `result` is null (a Python call failed and set its exception).
PyRef checked(PyObject* result);
void check_status(int status);

// Python text of a message: UTF-8, with U+FFFD for each piece that is not valid UTF-8 (bytes
// quoted from a damaged file), except the spans that are file names, which are decoded as
// os.fsdecode would (surrogate escapes for undecodable bytes) so they name the same file.
PyRef message_text(std::string_view message, std::span<const NameSpan> file_names = {});

// Raises `type` with `message` as text (see message_text) and `notes` added.
[[noreturn]] void raise(PyObject* type, const std::string& message, const std::vector<Message>& notes = {});

// Adds `notes` to the pending exception (BaseException.add_note), leaving its text unchanged.
void add_notes(const std::vector<Message>& notes) noexcept;

// The module's exception for internal faults, derived from BaseException.
PyObject* panic_exception();
void set_panic_exception(PyObject* type);

// "'<type of value>' object cannot be converted to '<expected>'" as a TypeError.
[[noreturn]] void raise_wrong_type(PyObject* value, const char* expected);

// Sets the Python exception that corresponds to a caught C++ failure.
void set_python_error(std::exception_ptr failure);

// Runs `body` and turns every C++ failure into a pending Python exception and a null result:
// core errors become RuntimeError, internal faults PanicException, exhausted memory MemoryError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

// Remembers the interpreter's main thread, the one that runs signal handlers (and so sees
// Ctrl-C); called once when the module is created.
void remember_main_thread();

// Runs `run` with the interpreter lock released. On the main thread it runs on a worker
// thread, under a stop request, while this thread takes the lock every few tens of
// milliseconds to run pending signal handlers: when one raises (KeyboardInterrupt for
// Ctrl-C), the work is asked to stop and waited for, and the result is true with that
// exception pending. Other threads cannot see signals, and work too short to be worth a
// thread (`watch_signals` false) is not watched: `run` then runs on this thread. `run` must
// catch everything it throws.
bool run_interruptible(const std::function<void()>& run, bool watch_signals);

// Runs pure core work with the interpreter lock released. `work` must not touch any Python
// object. Its failure is rethrown once the lock is held again; work interrupted by a signal
// handler that raised (Ctrl-C) unwinds, and the handler's exception is raised instead,
// whatever the work's outcome. Handing the work to a thread costs tens of microseconds:
// `watch_signals` false runs short work unwatched.
template <class Work>
auto without_gil(Work&& work, bool watch_signals = true) {
    using Result = decltype(work());
    std::optional<Result> result;
    std::exception_ptr failure;
    const bool interrupted = run_interruptible([&] {
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
    }, watch_signals);
    if (interrupted) throw PythonError{};
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace zpr::py

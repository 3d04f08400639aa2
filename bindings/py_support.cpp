#include "py_support.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace zpr::py {

namespace {
PyObject* g_panic_exception = nullptr;
unsigned long g_main_thread = 0;
// How long the main thread waits for work between looks at pending signals: Ctrl-C is
// answered within about this time plus one piece of work.
constexpr std::chrono::milliseconds kSignalPoll{50};
}  // namespace

void remember_main_thread() {
    PyRef threading = checked(PyImport_ImportModule("threading"));
    PyRef main_thread = checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    PyRef ident = checked(PyObject_GetAttrString(main_thread.get(), "ident"));
    g_main_thread = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonError{};
}

bool run_interruptible(const std::function<void()>& run, bool watch_signals) {
    PyThreadState* state = nullptr;
    if (!watch_signals || PyThread_get_thread_ident() != g_main_thread) {
        state = PyEval_SaveThread();
        run();
        PyEval_RestoreThread(state);
        return false;
    }
    StopRequest stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    auto work = [&] {
        {
            const StopScope scope(&stop);
            run();
        }
        const std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    };
    state = PyEval_SaveThread();
    std::thread worker;
    try {
        worker = std::thread(work);
    } catch (const std::system_error&) {
        work();  // no thread to be had: uninterruptible, as before
    }
    bool interrupted = false;
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, kSignalPoll, [&] { return done; })) {
        if (interrupted) continue;
        lock.unlock();
        PyEval_RestoreThread(state);
        if (PyErr_CheckSignals() < 0) {
            interrupted = true;
            stop.store(true, std::memory_order_relaxed);
        }
        state = PyEval_SaveThread();
        lock.lock();
    }
    lock.unlock();
    if (worker.joinable()) worker.join();
    PyEval_RestoreThread(state);
    return interrupted;
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

void add_notes(const std::vector<Message>& notes) noexcept {
    if (notes.empty() || !PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *exception = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &exception, &traceback);
    PyErr_NormalizeException(&type, &exception, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(exception, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    // A note that cannot be added is left out: the error itself still goes up.
    try {
        for (const Message& note : notes) {
            PyRef text = message_text(note.str(), note.names());
            PyRef added = checked(PyObject_CallMethod(exception, "add_note", "O", text.get()));
        }
    } catch (const PythonError&) {
        PyErr_Clear();
    } catch (const std::bad_alloc&) {
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(PyObject_Type(exception), exception, PyException_GetTraceback(exception));
#endif
}

void raise(PyObject* type, const std::string& message, const std::vector<Message>& notes) {
    set_error(type, message);
    add_notes(notes);
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
        add_notes(error.notes());
    } catch (const InternalFault& fault) {
        set_error(g_panic_exception, fault.message(), fault.file_names());
        add_notes(fault.notes());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const Stopped&) {
        // Only a signal handler asks for a stop, and its exception is pending by then.
        if (!PyErr_Occurred()) PyErr_SetString(g_panic_exception, "core work stopped without a request");
    } catch (const std::exception& other) {
        set_error(g_panic_exception, other.what());
    } catch (...) {
        PyErr_SetString(g_panic_exception, "unexpected internal failure");
    }
}

}  // namespace zpr::py

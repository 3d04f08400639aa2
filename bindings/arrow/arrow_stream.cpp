#include "arrow/arrow_stream.hpp"

#include "arguments.hpp"
#include "error.hpp"

#include <cerrno>
#include <memory>
#include <optional>
#include <new>
#include <string>

namespace zpr::py {

namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";

// What an exported stream owns; none of it is a Python object.
struct StreamState {
    std::shared_ptr<const StreamSchema> schema;
    std::unique_ptr<ReadAhead> batches;  // null once the stream has ended or failed
    const char* failure_prefix;
    std::string last_error;
    int failure = 0;  // the errno of the batch that failed the stream, which stays failed
};

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

// Records the failure being handled as the stream's error.
int fail(StreamState& state) {
    try {
        throw;
    } catch (const Error& error) {
        state.last_error = state.failure_prefix + error.message();
        state.failure = EIO;
    } catch (const std::bad_alloc&) {
        state.last_error = "out of memory";
        state.failure = ENOMEM;
    } catch (const InternalFault& fault) {
        state.last_error = "internal fault: " + fault.message();
        state.failure = EIO;
    } catch (const std::exception& other) {
        state.last_error = std::string("internal fault: ") + other.what();
        state.failure = EIO;
    } catch (...) {
        state.last_error = "internal fault";
        state.failure = EIO;
    }
    return state.failure;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamState& state = state_of(stream);
    try {
        export_schema(*state.schema, out);
        return 0;
    } catch (...) {
        return fail(state);
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState& state = state_of(stream);
    if (state.failure != 0) return state.failure;
    try {
        std::optional<ResultTable> table;
        if (state.batches) table = state.batches->next();
        if (!table) {
            state.batches.reset();  // lets go of the reader and the walk at once
            *out = ArrowArray{};    // released: the end of the stream
            return 0;
        }
        export_batch(std::move(*table), out);
        return 0;
    } catch (...) {
        state.batches.reset();  // stops reading ahead
        return fail(state);
    }
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
    const StreamState& state = state_of(stream);
    return state.failure != 0 ? state.last_error.c_str() : nullptr;
}

void stream_release(ArrowArrayStream* stream) noexcept {
    delete &state_of(stream);
    stream->release = nullptr;
}

// Capsule destructors: release what the consumer never took over, then free the struct.
void free_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) return PyErr_Clear();
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) return PyErr_Clear();
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

struct PyArrowStream {
    PyObject_HEAD
    std::shared_ptr<const StreamSchema> schema;
    std::unique_ptr<StreamState> state;  // null once exported
};

PyObject* arrow_c_stream(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyArrowStream*>(py_self);
        static const char* const names[] = {"requested_schema"};
        PyObject* a[1];
        // A requested schema is a wish the interface lets a producer pass over: the batches
        // keep their own types, which the consumer may cast.
        bind_arguments({"ArrowStream.__arrow_c_stream__", names, 0}, args, nargs, kwnames, a);
        if (!self->state)
            raise(PyExc_RuntimeError,
                  "This Arrow stream has been read already: a stream can be exported once; "
                  "ask the PulseReader for a new one");
        auto stream = std::make_unique<ArrowArrayStream>();
        stream->get_schema = stream_get_schema;
        stream->get_next = stream_get_next;
        stream->get_last_error = stream_get_last_error;
        stream->release = stream_release;
        stream->private_data = self->state.get();
        PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, free_stream_capsule);
        if (capsule == nullptr) throw PythonError{};
        stream.release();
        self->state.release();  // now the capsule's, and then the consumer's
        return capsule;
    });
}

PyObject* arrow_c_schema(PyObject* py_self, PyObject*) {
    return guarded([&] {
        auto* self = reinterpret_cast<PyArrowStream*>(py_self);
        auto schema = std::make_unique<ArrowSchema>();
        export_schema(*self->schema, schema.get());
        PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, free_schema_capsule);
        if (capsule == nullptr) {
            schema->release(schema.get());
            throw PythonError{};
        }
        schema.release();
        return capsule;
    });
}

PyObject* stream_repr(PyObject* py_self) {
    auto* self = reinterpret_cast<PyArrowStream*>(py_self);
    return PyUnicode_FromFormat("<%s with %zu columns, %s>", Py_TYPE(py_self)->tp_name, self->schema->fields.size(),
                                self->state ? "not read yet" : "exported");
}

void stream_dealloc(PyObject* py_self) {
    auto* self = reinterpret_cast<PyArrowStream*>(py_self);
    using Schema = std::shared_ptr<const StreamSchema>;
    using State = std::unique_ptr<StreamState>;
    self->schema.~Schema();
    self->state.~State();
    Py_TYPE(py_self)->tp_free(py_self);
}

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The stream as a PyCapsule named \"arrow_array_stream\"; a stream can be exported once"},
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe schema of the stream's batches as a PyCapsule named \"arrow_schema\""},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_arrow_stream(StreamSchema schema, NextBatch next, const char* failure_prefix) {
    auto shared_schema = std::make_shared<const StreamSchema>(std::move(schema));
    auto state = std::make_unique<StreamState>();
    state->schema = shared_schema;
    state->batches = std::make_unique<ReadAhead>(std::move(next));
    state->failure_prefix = failure_prefix;
    PyObject* self = ArrowStreamType.tp_alloc(&ArrowStreamType, 0);
    if (self == nullptr) throw PythonError{};
    auto* object = reinterpret_cast<PyArrowStream*>(self);
    new (&object->schema) std::shared_ptr<const StreamSchema>(std::move(shared_schema));
    new (&object->state) std::unique_ptr<StreamState>(std::move(state));
    return self;
}

PyTypeObject ArrowStreamType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zyn_pulse_reader.ArrowStream";
    type.tp_basicsize = sizeof(PyArrowStream);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "A one-shot Arrow stream of whole-aperture batches, from PulseReader.arrow_pulses, arrow_records "
                  "or arrow_summary";
    type.tp_dealloc = stream_dealloc;
    type.tp_repr = stream_repr;
    type.tp_methods = stream_methods;
    return type;
}();

}  // namespace zpr::py

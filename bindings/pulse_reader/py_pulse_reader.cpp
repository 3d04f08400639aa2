// The PulseReader type: construction, closing, the context-manager protocol and the
// read-only properties.
#include "pulse_reader/py_pulse_reader.hpp"

#include "arguments.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/borrow.hpp"
#include "pulse_reader/methods.hpp"
#include "records/data_frame.hpp"

#include <cmath>
#include <new>

namespace zpr::py {

namespace {

// Float to unsigned 64-bit with saturation: negative values and NaN give 0.
uint64_t saturating_u64(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 18446744073709551616.0f) return UINT64_MAX;
    return uint64_t(value);
}

// The file name up to its first "."; directories are kept.
std::string analysis_id(const std::string& file_name) { return file_name.substr(0, file_name.find('.')); }

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (!value) throw PythonError{};
    check_status(PyDict_SetItemString(dict, key, value.get()));
}

PyRef base_attrs(const zpr::PulseReader& reader, const std::string& file_name) {
    PyRef attrs = checked(PyDict_New());
    set_item(attrs.get(), "source", PyRef(PyUnicode_FromString("pulses.bin")));
    const std::string id = analysis_id(file_name);
    set_item(attrs.get(), "analysis_id", PyRef(PyUnicode_DecodeFSDefaultAndSize(id.data(), Py_ssize_t(id.size()))));
    set_item(attrs.get(), "frame_dur_s", PyRef(PyFloat_FromDouble(double(1.0f / reader.fps()))));
    auto duration = number_member(reader.metadata(), "duration");
    if (!duration) raise(PyExc_RuntimeError, "Missing or invalid 'duration' field in metadata");
    const float run_dur_s = float(*duration);
    set_item(attrs.get(), "run_dur_f", PyRef(PyLong_FromUnsignedLongLong(saturating_u64(std::ceil(reader.fps() * run_dur_s)))));
    set_item(attrs.get(), "run_dur_s", PyRef(PyFloat_FromDouble(double(run_dur_s))));
    return attrs;
}

PyRef python_metadata(const zpr::PulseReader& reader) {
    PyRef json = checked(PyImport_ImportModule("json"));
    const std::string& text = reader.metadata_text();
    PyRef unicode = checked(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict"));
    return checked(PyObject_CallMethod(json.get(), "loads", "O", unicode.get()));
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"file_name", "pulse_filter", "pulse_filter_kwargs"};
        PyObject* a[3];
        bind_arguments({"PulseReader.__new__", names, 1}, args, kwargs, a);
        const std::string file_name = convert_argument("file_name", a[0], to_file_name);
        const FilterArguments filter_arguments = convert_filter_arguments(a[1], a[2]);

        // The file is opened first, so that a bad file is reported even when the filter
        // arguments conflict.
        zpr::PulseReader reader = zpr::PulseReader::open(file_name);
        std::optional<zpr::PulseFilter> default_filter = choose_filter(filter_arguments, std::nullopt);
        PyRef pandas = checked(PyImport_ImportModule("pandas"));
        PyRef frame_from_blocks = find_frame_from_blocks();
        PyRef attrs = base_attrs(reader, file_name);
        PyRef metadata = python_metadata(reader);
        PyRef name = checked(PyUnicode_DecodeFSDefaultAndSize(file_name.data(), Py_ssize_t(file_name.size())));

        auto shared = std::make_shared<zpr::PulseReader>(std::move(reader));

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw PythonError{};
        auto* object = reinterpret_cast<PyPulseReader*>(self);
        new (&object->reader) std::shared_ptr<zpr::PulseReader>(std::move(shared));
        new (&object->default_filter) std::optional<zpr::PulseFilter>(default_filter);
        object->pandas = pandas.release();
        object->frame_from_blocks = frame_from_blocks.release();
        object->attrs = attrs.release();
        object->metadata = metadata.release();
        object->file_name = name.release();
        object->apertures = nullptr;
        object->borrow = 0;
        return self;
    });
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* object = reinterpret_cast<PyPulseReader*>(self);
    Py_VISIT(object->pandas);
    Py_VISIT(object->frame_from_blocks);
    Py_VISIT(object->attrs);
    Py_VISIT(object->metadata);
    Py_VISIT(object->file_name);
    Py_VISIT(object->apertures);
    return 0;
}

int reader_clear(PyObject* self) {
    auto* object = reinterpret_cast<PyPulseReader*>(self);
    Py_CLEAR(object->pandas);
    Py_CLEAR(object->frame_from_blocks);
    Py_CLEAR(object->attrs);
    Py_CLEAR(object->metadata);
    Py_CLEAR(object->file_name);
    Py_CLEAR(object->apertures);
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* object = reinterpret_cast<PyPulseReader*>(self);
    reader_clear(self);
    using Reader = std::shared_ptr<zpr::PulseReader>;
    using Filter = std::optional<zpr::PulseFilter>;
    object->reader.~Reader();  // closes the file if still open and no stream holds it
    object->default_filter.~Filter();
    Py_TYPE(self)->tp_free(self);
}

PyObject* close_reader(PyPulseReader* self) {
    ExclusiveAccess access(self);
    self->reader.reset();
    Py_RETURN_NONE;
}

PyObject* reader_close(PyObject* self, PyObject*) {
    return guarded([&] { return close_reader(reinterpret_cast<PyPulseReader*>(self)); });
}

PyObject* reader_enter(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedAccess access(reinterpret_cast<PyPulseReader*>(self));
        return Py_NewRef(self);
    });
}

PyObject* reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const char* const names[] = {"_exc_type", "_exc_value", "_traceback"};
        PyObject* a[3];
        bind_arguments({"PulseReader.__exit__", names, 3}, args, nargs, kwnames, a);
        return close_reader(reinterpret_cast<PyPulseReader*>(self));
    });
}

// "<zyn_pulse_reader.PulseReader 'run42.pulses.bin' apertures=6 open>". Debuggers and
// tracebacks call repr at any moment, so it takes no borrow: with the interpreter lock held
// the reader cannot be closed under it, and the index does not change while it is open.
PyObject* reader_repr(PyObject* self) {
    auto* object = reinterpret_cast<PyPulseReader*>(self);
    const char* type_name = Py_TYPE(self)->tp_name;
    PyObject* name = object->file_name != nullptr ? object->file_name : Py_None;
    if (!object->reader) return PyUnicode_FromFormat("<%s %R closed>", type_name, name);
    const auto apertures = static_cast<unsigned long long>(object->reader->index().apertures().size());
    return PyUnicode_FromFormat("<%s %R apertures=%llu open>", type_name, name, apertures);
}

PyObject* get_apertures(PyObject* self, void*) {
    return guarded([&] {
        auto* object = reinterpret_cast<PyPulseReader*>(self);
        SharedAccess access(object);
        const auto& apertures = open_reader(object).index().apertures();
        // The numbers are made once; every access gets a new list of the same int objects.
        if (object->apertures == nullptr) {
            PyRef list = checked(PyList_New(Py_ssize_t(apertures.size())));
            for (std::size_t i = 0; i < apertures.size(); ++i)
                PyList_SET_ITEM(list.get(), Py_ssize_t(i),
                                checked(PyLong_FromUnsignedLongLong(apertures[i])).release());
            object->apertures = list.release();
        }
        return PyList_GetSlice(object->apertures, 0, PyList_GET_SIZE(object->apertures));
    });
}

PyObject* get_metadata(PyObject* self, void*) {
    return guarded([&] {
        auto* object = reinterpret_cast<PyPulseReader*>(self);
        SharedAccess access(object);
        return Py_NewRef(object->metadata != nullptr ? object->metadata : Py_None);
    });
}

PyObject* get_trimmed(PyObject* self, void*) {
    return guarded([&] {
        auto* object = reinterpret_cast<PyPulseReader*>(self);
        SharedAccess access(object);
        return PyBool_FromLong(open_reader(object).trimmed());
    });
}

PyMethodDef reader_methods[] = {
    {"get_all_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_all_records)),
     METH_FASTCALL | METH_KEYWORDS, kGetAllRecordsDoc},
    {"get_pulses", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_pulses)),
     METH_FASTCALL | METH_KEYWORDS, kGetPulsesDoc},
    {"get_pulses_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_pulses_many)),
     METH_FASTCALL | METH_KEYWORDS, kGetPulsesManyDoc},
    {"get_all_records_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_all_records_many)),
     METH_FASTCALL | METH_KEYWORDS, kGetAllRecordsManyDoc},
    {"iter_pulses", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_pulses)),
     METH_FASTCALL | METH_KEYWORDS, kIterPulsesDoc},
    {"iter_all_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_all_records)),
     METH_FASTCALL | METH_KEYWORDS, kIterAllRecordsDoc},
    {"summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summary)),
     METH_FASTCALL | METH_KEYWORDS, kSummaryDoc},
    {"record_kinds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_kinds)),
     METH_FASTCALL | METH_KEYWORDS, kRecordKindsDoc},
    {"arrow_pulses", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_pulses)),
     METH_FASTCALL | METH_KEYWORDS, kArrowPulsesDoc},
    {"arrow_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_records)),
     METH_FASTCALL | METH_KEYWORDS, kArrowRecordsDoc},
    {"arrow_summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_summary)),
     METH_FASTCALL | METH_KEYWORDS, kArrowSummaryDoc},
    {"arrow_record_kinds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_record_kinds)),
     METH_FASTCALL | METH_KEYWORDS, kArrowRecordKindsDoc},
    {"copy_apertures_to_new_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(copy_apertures_to_new_file)),
     METH_FASTCALL | METH_KEYWORDS, kCopyAperturesDoc},
    {"close", reader_close, METH_NOARGS, "close($self)\n--\n\nClose the pulses.bin file"},
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_properties[] = {
    {"apertures", get_apertures, nullptr, nullptr, nullptr},
    {"metadata", get_metadata, nullptr, nullptr, nullptr},
    {"trimmed", get_trimmed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

zpr::PulseReader& open_reader(PyPulseReader* self) {
    if (!self->reader) raise(PyExc_RuntimeError, kClosedMessage);
    return *self->reader;
}

PyTypeObject PulseReaderType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zyn_pulse_reader.PulseReader";
    type.tp_basicsize = sizeof(PyPulseReader);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "PulseReader(file_name, pulse_filter=None, pulse_filter_kwargs=None)\n--\n\nPulses.bin reader";
    type.tp_new = reader_new;
    type.tp_dealloc = reader_dealloc;
    type.tp_repr = reader_repr;
    type.tp_traverse = reader_traverse;
    type.tp_clear = reader_clear;
    type.tp_methods = reader_methods;
    type.tp_getset = reader_properties;
    return type;
}();

}  // namespace zpr::py

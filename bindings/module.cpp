// The extension module zyn_pulse_reader: merge_pulse_files, PulseReader and PulseFilter,
// registered in that order and listed in __all__, plus PanicException for internal faults and
// __version__ (ZPR_VERSION, defined by the build).
#include "arrow/arrow_stream.hpp"
#include "py_support.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/batch_iterator.hpp"
#include "pulse_reader/merge.hpp"
#include "pulse_reader/py_pulse_reader.hpp"

namespace zpr::py {

namespace {

PyMethodDef module_functions[] = {
    {"merge_pulse_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_pulse_files)),
     METH_FASTCALL | METH_KEYWORDS, kMergePulseFilesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "zyn_pulse_reader", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to __all__, then sets the attribute.
void add_member(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    PyRef owned_all(all);
    if (all == nullptr) {
        PyErr_Clear();
        owned_all = checked(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", owned_all.get()));
    }
    PyRef text = checked(PyUnicode_FromString(name));
    check_status(PyList_Append(owned_all.get(), text.get()));
    check_status(PyObject_SetAttrString(module, name, value));
}

PyObject* create_module() {
    remember_main_thread();
    PyRef module = checked(PyModule_Create(&module_definition));
    PyRef merge = checked(PyCFunction_NewEx(&module_functions[0], nullptr, module.get()));
    add_member(module.get(), "merge_pulse_files", merge.get());
    check_status(PyType_Ready(&PulseReaderType));
    add_member(module.get(), "PulseReader", reinterpret_cast<PyObject*>(&PulseReaderType));
    check_status(PyType_Ready(&BatchIteratorType));
    check_status(PyType_Ready(&ArrowStreamType));
    check_status(PyType_Ready(&PulseFilterType));
    add_member(module.get(), "PulseFilter", reinterpret_cast<PyObject*>(&PulseFilterType));

    if (panic_exception() == nullptr) {
        PyObject* panic = PyErr_NewExceptionWithDoc("zyn_pulse_reader.PanicException",
                                                    "An internal fault of the pulse file library.",
                                                    PyExc_BaseException, nullptr);
        if (panic == nullptr) throw PythonError{};
        set_panic_exception(panic);  // kept for the life of the process
    }
    check_status(PyObject_SetAttrString(module.get(), "PanicException", panic_exception()));
    check_status(PyModule_AddStringConstant(module.get(), "__version__", ZPR_VERSION));
    return module.release();
}

}  // namespace

}  // namespace zpr::py

PyMODINIT_FUNC PyInit_zyn_pulse_reader() {
    return zpr::py::guarded([] { return zpr::py::create_module(); });
}

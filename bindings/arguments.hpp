// Argument binding and conversion for the module's callables.
//
// Binding follows Python's own rules for a function with the given parameter names (by
// position or keyword, required ones first) and raises TypeError with messages in
// CPython's manner. Conversion failures that are TypeErrors get the parameter name in
// front: "argument 'file_name': 'int' object cannot be converted to 'PyString'". Other
// conversion errors (OverflowError, ValueError) pass through unchanged.
#pragma once

#include "py_support.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zpr::py {

struct Signature {
    const char* qualname;  // used in messages, e.g. "PulseReader.get_pulses"
    std::span<const char* const> names;
    std::size_t required;
};

// Binds vectorcall-style arguments: `out[i]` receives a borrowed reference or nullptr.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);
// Binds a tuple and an optional dict of keywords (constructor calls).
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Conversions, with the conversion's own messages.
std::string to_utf8(PyObject* value);              // str, expected name "PyString"
// A file name: str or os.PathLike (whose fspath is str or bytes), as the bytes os.fsencode
// gives; any other type is refused with the message a str conversion gives ("PyString").
std::string to_file_name(PyObject* value);
uint64_t to_u64(PyObject* value);                  // integer index protocol
uint32_t to_u32(PyObject* value);                  // integer index protocol, 0..4294967295
float to_f32(PyObject* value);                     // Python float conversion, narrowed
bool to_bool(PyObject* value);                     // bool or NumPy bool scalar
std::pair<float, float> to_f32_pair(PyObject* value);  // tuple of exactly two floats

// Rewrites a pending TypeError as "argument '<name>': <message>".
void prefix_type_error(const char* name);

// Runs `convert(value)` and puts "argument '<name>': " before a TypeError it raises.
template <class Convert>
auto convert_argument(const char* name, PyObject* value, Convert&& convert) {
    try {
        return convert(value);
    } catch (const PythonError&) {
        prefix_type_error(name);
        throw;
    }
}

// A sequence (not a str) converted item by item.
std::vector<uint64_t> to_u64_vector(PyObject* value);
std::vector<std::string> to_file_name_vector(PyObject* value);

}  // namespace zpr::py

// The module's Arrow stream type: a one-shot stream of result tables that implements the
// Arrow PyCapsule interface, so that pyarrow, Polars, DuckDB and others read it without
// pandas and without a copy.
//
// `__arrow_c_stream__` hands the stream over once, as an ArrowArrayStream in a capsule named
// "arrow_array_stream"; `__arrow_c_schema__` gives the schema at any time. The consumer calls
// the stream's callbacks from its own threads without the interpreter lock: they run pure
// core work and touch no Python object, and the stream owns everything it reads.
#pragma once

#include "arrow/arrow_export.hpp"
#include "arrow/read_ahead.hpp"
#include "py_support.hpp"

namespace zpr::py {

extern PyTypeObject ArrowStreamType;

// A new stream object whose batches have `schema` and are cut by `next` (read_ahead.hpp),
// which runs on a consumer's thread without the interpreter lock. An ordinary failure throws
// Error, which fails the stream with `failure_prefix` before its message.
PyObject* new_arrow_stream(StreamSchema schema, NextBatch next, const char* failure_prefix);

}  // namespace zpr::py

// Result tables (records/result_table.hpp) exported through the Arrow C data interface: a
// table becomes one struct array whose children are its columns in stream order, each over
// the core's own buffer, without a copy.
//
// Column types: uint16, uint32, uint64, int64, float32 and float64 as they are ("S", "I",
// "L", "l", "f", "g"); record kinds as dictionary<int8, utf8> over the eight kind names in
// their fixed order (the codes are the indices); messages as utf8 with a null where a row
// has none. Only the messages column is nullable; NaN stays a value.
//
// Nothing here touches Python: batches are exported on a consumer's thread, and every
// release callback may run on any thread. A batch's buffers are freed when the last of its
// columns is released (a consumer may move columns out and release them one by one).
#pragma once

#include "arrow/arrow_c_abi.h"
#include "records/result_table.hpp"

#include <string>
#include <utility>
#include <vector>

namespace zpr::py {

// The schema of a stream's batches, kept apart from any batch.
struct StreamSchema {
    struct Field {
        std::string name;
        ValueType type;
    };
    std::vector<Field> fields;
    // Key-value pairs of the schema's metadata.
    std::vector<std::pair<std::string, std::string>> metadata;
};

// The schema of batches with the columns of `table`, in stream order.
StreamSchema stream_schema(const ResultTable& table, std::vector<std::pair<std::string, std::string>> metadata);

// Fills `out` (a released or fresh struct) with the schema. Throws std::bad_alloc.
void export_schema(const StreamSchema& schema, ArrowSchema* out);

// Fills `out` with the table as a struct array; the table's buffers move into it. Throws
// std::bad_alloc, or InternalFault for a table that does not fit the format.
void export_batch(ResultTable&& table, ArrowArray* out);

}  // namespace zpr::py

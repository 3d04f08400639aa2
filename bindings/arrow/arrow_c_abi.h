// The Arrow C data and stream interfaces: three plain C structs through which columnar data
// passes between libraries in one process, as the Arrow format documents them for producers
// to copy. No Arrow library is needed to produce them.
//
// Ownership follows the structs: a struct's release callback frees what it owns and sets
// `release` to NULL (a released struct); a consumer that moves a struct marks its source
// released. Consumers may call every callback from any thread.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    // Array type description
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;

    // Release callback
    void (*release)(struct ArrowSchema*);
    // Opaque producer-specific data
    void* private_data;
};

struct ArrowArray {
    // Array data description
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;

    // Release callback
    void (*release)(struct ArrowArray*);
    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    // Callback to get the stream type (the same for all arrays in the stream). Returns 0 or
    // an errno-compatible error code.
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    // Callback to get the next array; a released `out` marks the end of the stream. Returns 0
    // or an errno-compatible error code.
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    // The description of the last error, valid until the next call on the stream; NULL when
    // there is none.
    const char* (*get_last_error)(struct ArrowArrayStream*);

    // Release callback
    void (*release)(struct ArrowArrayStream*);
    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif

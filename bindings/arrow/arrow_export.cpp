#include "arrow/arrow_export.hpp"

#include "error.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace zpr::py {

namespace {

const char* format_of(ValueType type) {
    switch (type) {
        case ValueType::UInt16: return "S";
        case ValueType::UInt32: return "I";
        case ValueType::UInt64: return "L";
        case ValueType::Int64: return "l";
        case ValueType::Float32: return "f";
        case ValueType::Float64: return "g";
        case ValueType::RecordType: return "c";  // the int8 indices of a dictionary
        case ValueType::Messages: return "u";
    }
    throw InternalFault("unknown column value type");
}

// Stands in for the buffers of empty columns, which the interface wants non-null: zeros,
// so that it also serves as the one offset of an empty text column.
alignas(64) constexpr uint8_t kEmptyBuffer[64] = {};

// The kind names as one utf8 array, the dictionary of every record_type column.
struct KindNames {
    std::array<int32_t, kFormattedRecordTypeCount + 1> offsets{};
    std::string text;

    KindNames() {
        for (std::size_t type = 0; type < kFormattedRecordTypeCount; ++type) {
            text += record_type_name(FormattedRecordType(type));
            offsets[type + 1] = int32_t(text.size());
        }
    }
};

const KindNames& kind_names() {
    static const KindNames names;  // made once, on whichever thread asks first
    return names;
}

// The Arrow metadata encoding: the pair count, then each key and value, each behind its
// length, all counts as native 32-bit integers.
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string bytes;
    auto add_count = [&](std::size_t count) {
        if (count > std::size_t(std::numeric_limits<int32_t>::max())) throw InternalFault("schema metadata too long");
        const int32_t value = int32_t(count);
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    add_count(pairs.size());
    for (const auto& [key, value] : pairs) {
        add_count(key.size());
        bytes += key;
        add_count(value.size());
        bytes += value;
    }
    return bytes;
}

// --- Schemas -------------------------------------------------------------------------

// Marks a struct released whose memory belongs to another (a dictionary's, held by its column).
template <class Struct>
void release_nothing(Struct* self) {
    self->release = nullptr;
}

// Releases a schema or array whose private data is an `Own`: its children first (but those the
// consumer moved out, which are released already) and its dictionary, then what it owns.
template <class Own, class Struct>
void release_owned(Struct* self) {
    for (int64_t i = 0; i < self->n_children; ++i)
        if (self->children[i]->release != nullptr) self->children[i]->release(self->children[i]);
    if (self->dictionary != nullptr && self->dictionary->release != nullptr) self->dictionary->release(self->dictionary);
    delete static_cast<Own*>(self->private_data);  // for a column: the batch's buffers go with the last
    self->release = nullptr;
}

struct FieldSchema {
    std::string name;
    ArrowSchema dictionary{};
};

struct StructSchema {
    std::string metadata;
    std::vector<ArrowSchema> fields;
    std::vector<ArrowSchema*> field_pointers;
};

void export_field(const StreamSchema::Field& field, ArrowSchema* out) {
    auto own = std::make_unique<FieldSchema>();
    own->name = field.name;
    *out = ArrowSchema{};
    out->format = format_of(field.type);
    out->name = own->name.c_str();
    out->flags = field.type == ValueType::Messages ? ARROW_FLAG_NULLABLE : 0;
    if (field.type == ValueType::RecordType) {
        own->dictionary.format = "u";
        own->dictionary.release = release_nothing<ArrowSchema>;
        out->dictionary = &own->dictionary;
    }
    out->release = release_owned<FieldSchema>;
    out->private_data = own.release();
}

// --- Arrays --------------------------------------------------------------------------

// A column's array: buffers of the batch's shared table, or of its own for text.
struct ColumnArray {
    std::shared_ptr<const ResultTable> table;
    std::array<const void*, 3> buffers{};
    ArrowArray dictionary{};
    std::vector<uint8_t> validity;
    std::vector<int32_t> offsets;
    std::string text;
};

struct StructArray {
    std::array<const void*, 1> buffers{};  // no validity: no row of a batch is null
    std::vector<ArrowArray> columns;
    std::vector<ArrowArray*> column_pointers;
};

const void* or_empty(const void* buffer) { return buffer != nullptr ? buffer : kEmptyBuffer; }

// The messages column: a validity bitmap (a set bit for a row with a message), offsets and text.
void fill_messages(ColumnArray& own, ArrowArray* out, std::size_t rows,
                   const std::vector<std::pair<std::size_t, std::string>>& messages) {
    std::vector<const std::string*> by_row(rows, nullptr);
    for (const auto& [row, message] : messages) by_row.at(row) = &message;
    own.validity.assign((rows + 7) / 8, 0);
    own.offsets.assign(rows + 1, 0);
    for (std::size_t row = 0; row < rows; ++row) {
        if (by_row[row] != nullptr) {
            own.validity[row / 8] |= uint8_t(1u << (row % 8));
            own.text += *by_row[row];
        }
        if (own.text.size() > std::size_t(std::numeric_limits<int32_t>::max()))
            throw InternalFault("messages too long for one utf8 column");
        own.offsets[row + 1] = int32_t(own.text.size());
    }
    own.buffers = {or_empty(own.validity.data()), own.offsets.data(), or_empty(own.text.data())};
    out->n_buffers = 3;
    out->null_count = int64_t(rows - messages.size());
}

void export_column(const std::shared_ptr<const ResultTable>& table, const char* name, ArrowArray* out) {
    auto own = std::make_unique<ColumnArray>();
    own->table = table;
    *out = ArrowArray{};
    out->length = int64_t(table->rows);
    const auto [block, k] = table->find(name);
    if (block->type == ValueType::Messages) {
        fill_messages(*own, out, table->rows, table->messages);
    } else {
        own->buffers = {nullptr, or_empty(block->values.data() != nullptr ? block->column(k) : nullptr)};
        out->n_buffers = 2;
    }
    if (block->type == ValueType::RecordType) {
        // The kind names are the same for every batch: the dictionary points at them.
        static std::array<const void*, 3> names = {nullptr, kind_names().offsets.data(), kind_names().text.data()};
        own->dictionary.length = int64_t(kFormattedRecordTypeCount);
        own->dictionary.n_buffers = 3;
        own->dictionary.buffers = names.data();
        own->dictionary.release = release_nothing<ArrowArray>;
        out->dictionary = &own->dictionary;
    }
    out->buffers = own->buffers.data();
    out->release = release_owned<ColumnArray>;
    out->private_data = own.release();
}

}  // namespace

StreamSchema stream_schema(const ResultTable& table, std::vector<std::pair<std::string, std::string>> metadata) {
    StreamSchema schema;
    for (const char* name : table.stream_order()) schema.fields.push_back({name, table.find(name).first->type});
    schema.metadata = std::move(metadata);
    return schema;
}

void export_schema(const StreamSchema& schema, ArrowSchema* out) {
    auto own = std::make_unique<StructSchema>();
    own->metadata = encode_metadata(schema.metadata);
    own->fields.assign(schema.fields.size(), ArrowSchema{});
    for (ArrowSchema& field : own->fields) own->field_pointers.push_back(&field);
    // Each field is released by the struct's release once exported, even if a later one fails.
    ArrowSchema result{};
    result.format = "+s";
    result.name = "";
    result.metadata = schema.metadata.empty() ? nullptr : own->metadata.data();
    result.n_children = int64_t(own->fields.size());
    result.children = own->field_pointers.data();
    result.release = release_owned<StructSchema>;
    result.private_data = own.get();
    StructSchema* fields = own.release();
    try {
        for (std::size_t i = 0; i < schema.fields.size(); ++i) export_field(schema.fields[i], &fields->fields[i]);
    } catch (...) {
        result.release(&result);
        throw;
    }
    *out = result;
}

void export_batch(ResultTable&& table, ArrowArray* out) {
    const std::vector<const char*> names = table.stream_order();
    const auto shared = std::make_shared<const ResultTable>(std::move(table));
    auto own = std::make_unique<StructArray>();
    own->columns.assign(names.size(), ArrowArray{});
    for (ArrowArray& column : own->columns) own->column_pointers.push_back(&column);
    ArrowArray result{};
    result.length = int64_t(shared->rows);
    result.n_buffers = 1;
    result.n_children = int64_t(names.size());
    result.buffers = own->buffers.data();
    result.children = own->column_pointers.data();
    result.release = release_owned<StructArray>;
    result.private_data = own.get();
    StructArray* columns = own.release();
    try {
        for (std::size_t i = 0; i < names.size(); ++i) export_column(shared, names[i], &columns->columns[i]);
    } catch (...) {
        result.release(&result);
        throw;
    }
    *out = result;
}

}  // namespace zpr::py

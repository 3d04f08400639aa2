// A query result as named columns over the core's own buffers, before any Python object is
// made of it.
//
// Every answer has one shape here, whoever consumes it: the DataFrame calls turn a table into
// NumPy blocks (column_table.hpp) with the interpreter lock held, the Arrow streams export it
// as it is from a consumer's thread without the lock (arrow/arrow_export.hpp). The column
// names, types and order of each answer are therefore written down once, in result_table.cpp.
// Nothing here touches Python.
#pragma once

#include "column.hpp"
#include "column_block.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zpr::py {

// What a column holds. RecordType columns hold FormattedRecordType codes (one byte each);
// the Messages column holds no values of its own but the table's `messages`.
enum class ValueType : uint8_t { UInt16, UInt32, UInt64, Int64, Float32, Float64, RecordType, Messages };

std::size_t value_size(ValueType type);

// A buffer of column memory (column_memory.hpp), freed when dropped.
class OwnedBuffer {
public:
    OwnedBuffer() = default;
    // Takes over a buffer released by a Column or ColumnBlock.
    template <class T>
    explicit OwnedBuffer(T released) : data_(released.data), bytes_(released.buffer_bytes) {}
    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        if (this != &other) {
            free_column_buffer(data_, bytes_);
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    ~OwnedBuffer() { free_column_buffer(data_, bytes_); }

    const void* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return bytes_; }
    // Gives the buffer up, to be freed with free_column_buffer and `buffer_bytes`.
    Column<uint8_t>::Released release() noexcept {
        return {static_cast<uint8_t*>(std::exchange(data_, nullptr)), std::exchange(bytes_, 0)};
    }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
};

struct ResultTable {
    // Columns of one type in one buffer, column k starting `stride` values after column 0.
    struct Block {
        ValueType type;
        OwnedBuffer values;
        std::size_t stride;
        std::vector<const char*> names;

        const void* column(std::size_t k) const {
            return static_cast<const uint8_t*>(values.data()) + k * stride * value_size(type);
        }
    };

    std::size_t rows = 0;
    std::vector<Block> blocks;
    // The column names in the frame's order.
    std::vector<const char*> order;
    // The values of the frame's own row index, when it has one; its one name is the column
    // it becomes where there is no row index (a stream's "position" or "aperture_index").
    std::optional<Block> row_index;
    // The rows of the Messages column that hold a message; the others hold none.
    std::vector<std::pair<std::size_t, std::string>> messages;

    // Adds a block, its columns at the end of the frame's order.
    void add(Block block);
    // The block that holds the column `name`, and the column's place in it.
    std::pair<const Block*, std::size_t> find(const char* name) const;
    // Gives back the whole pages of the room each column reserved beyond `rows`
    // (release_unused_room in column_memory.hpp), for a table that will be held long: a
    // query's next result would otherwise reuse that room without faulting it in again.
    void release_unused_room();
    // The column names in a stream's order: the row index as an ordinary column, after
    // "aperture_index" where the frame has that column first, else first.
    std::vector<const char*> stream_order() const;
};

// The records table: ipd_f, dur_f, six intensities and background values, start_f (running
// sum of ipd_f), record_type, long_pulse_duration_f and event_f (NaN where absent).
ResultTable result_table(RecordColumns&& records);

// The records table of several apertures: aperture_index, then the records table's columns;
// the row index ("position") is each record's position within its aperture.
ResultTable result_table(ManyApertureRecords&& records);

// The summary table: aperture_x, aperture_y, records, pulses, nonfinite, the five means,
// first_start_f, last_end_f, and error (a message or none). The row index ("aperture_index")
// is `apertures`.
ResultTable result_table(ApertureSummaries&& summaries, std::span<const uint64_t> apertures);

// The record kinds table: one count per kind, named and ordered as the kinds' codes. The row
// index ("aperture_index") is `apertures`.
ResultTable result_table(RecordKindCounts&& counts, std::span<const uint64_t> apertures);

// The pulses table: aperture_index (when asked for), then the pulse quantities; the row index
// ("position") is each pulse's record position.
ResultTable result_table(PulseColumns&& pulses, bool include_aperture_index);

}  // namespace zpr::py

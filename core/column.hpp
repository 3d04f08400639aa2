// A growable column of plain values in one buffer (column_memory.hpp).
//
// Query results are built column by column and then handed to NumPy as they are: `release`
// gives up the buffer, to be freed with free_column_buffer, so no column is ever copied on
// its way out. Queries reserve their room first (an upper bound where the row count is not
// known yet), fill it directly, then count what they filled.
#pragma once

#include "column_memory.hpp"

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace zpr {

template <class T>
class Column {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Column() = default;
    Column(Column&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          buffer_bytes_(std::exchange(other.buffer_bytes_, 0)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            free_column_buffer(data_, buffer_bytes_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            buffer_bytes_ = std::exchange(other.buffer_bytes_, 0);
        }
        return *this;
    }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { free_column_buffer(data_, buffer_bytes_); }

    std::size_t size() const noexcept { return size_; }
    const T* data() const noexcept { return data_; }
    T* data() noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t capacity() const noexcept { return buffer_bytes_ / sizeof(T); }

    // Room for `count` values in a new buffer, backed by `pages`; the column must still be
    // empty. Pages of a large buffer that are never written are never touched, so reserving
    // an upper bound is cheap.
    void reserve(std::size_t count, Pages pages = Pages::Huge) {
        if (count <= capacity()) return;
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = 0;
        void* data = allocate_column_buffer(count * sizeof(T), bytes, pages);
        if (data == nullptr) throw std::bad_alloc();
        free_column_buffer(data_, buffer_bytes_);
        data_ = static_cast<T*>(data);
        buffer_bytes_ = bytes;
    }

    // Room for `count` values at least, for scratch space that is refilled on every use:
    // a larger need replaces the buffer, and the values are not kept.
    void make_room(std::size_t count) {
        if (count <= capacity()) return;
        Column fresh;
        fresh.reserve(count);
        *this = std::move(fresh);
    }

    // Vectorised writers fill the reserved room past the end directly, then count the
    // values they filled.
    void mark_filled(std::size_t count) noexcept { size_ += count; }

    // Gives up the buffer (null when empty); the caller frees it with free_column_buffer
    // and `buffer_bytes`.
    struct Released {
        T* data;
        std::size_t buffer_bytes;
    };
    Released release() noexcept {
        size_ = 0;
        return {std::exchange(data_, nullptr), std::exchange(buffer_bytes_, 0)};
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t buffer_bytes_ = 0;  // as allocated; the capacity in values follows from it
};

}  // namespace zpr

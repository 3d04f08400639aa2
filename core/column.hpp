// A growable column of plain values in one buffer (column_memory.hpp).
//
// Query results are built column by column and then handed to NumPy as they are: `release`
// gives up the buffer, to be freed with free_column_buffer, so no column is ever copied on
// its way out. Appending is the hot path of every query, so it stays small enough to
// inline; growing is the rare, out-of-line case.
#pragma once

#include "column_memory.hpp"

#include <algorithm>
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
    Column(std::size_t count, T value) {
        reserve(count);
        std::fill_n(data_, count, value);
        size_ = count;
    }
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
    bool empty() const noexcept { return size_ == 0; }
    const T* data() const noexcept { return data_; }
    T* data() noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t capacity() const noexcept { return buffer_bytes_ / sizeof(T); }

    // Room for `count` values. Pages of a large buffer that are never written are never
    // touched, so reserving an upper bound is cheap.
    void reserve(std::size_t count) {
        if (count <= capacity()) return;
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = buffer_bytes_;
        void* grown = grow_column_buffer(data_, size_ * sizeof(T), count * sizeof(T), bytes);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        buffer_bytes_ = bytes;
    }

    // Room for `additional` more values, growing geometrically so that repeated appends
    // cost amortised constant time.
    void reserve_more(std::size_t additional) {
        if (size_ + additional > capacity()) reserve(std::max(size_ + additional, 2 * capacity()));
    }

    void push_back(T value) {
        if (size_ == capacity()) [[unlikely]]
            grow();
        data_[size_++] = value;
    }

    // Appends without checking for room, for writers that fill several columns row by row
    // and check the room of all of them once per row.
    void push_back_reserved(T value) noexcept { data_[size_++] = value; }

    // Vectorised writers fill the reserved room past the end directly, then count the
    // values they filled.
    T* unfilled() noexcept { return data_ + size_; }
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
    [[gnu::noinline]] void grow() { reserve(capacity() == 0 ? 16 : 2 * capacity()); }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t buffer_bytes_ = 0;  // as allocated; the capacity in values follows from it
};

}  // namespace zpr

// A growable column of plain values in one malloc'd buffer.
//
// Query results are built column by column and then handed to NumPy as they are: `release`
// gives up the buffer (to be freed with std::free), so no column is ever copied on its way
// out. Appending is the hot path of every query, so it stays small enough to inline; growing
// is the rare, out-of-line case.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace zpr {

// Grows (or first allocates) a column buffer to `bytes`, keeping its first `used` bytes;
// null when memory is short. A query's result columns are new memory every time, and
// faulting it in 4 KiB pages costs more than filling it, so a large new buffer starts on a
// huge-page boundary and asks the kernel to back it with 2 MiB pages.
void* grow_column_buffer(void* data, std::size_t used, std::size_t bytes) noexcept;

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
          capacity_(std::exchange(other.capacity_, 0)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { std::free(data_); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Room for `count` values. Pages of the buffer that are never written are never touched,
    // so reserving an upper bound is cheap.
    void reserve(std::size_t count) {
        if (count <= capacity_) return;
        void* grown = grow_column_buffer(data_, size_ * sizeof(T), count * sizeof(T));
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = count;
    }

    void push_back(T value) {
        if (size_ == capacity_) [[unlikely]]
            grow();
        data_[size_++] = value;
    }

    std::size_t capacity() const noexcept { return capacity_; }

    // Room for `additional` more values, growing geometrically so that repeated appends
    // cost amortised constant time.
    void reserve_more(std::size_t additional) {
        if (size_ + additional > capacity_) reserve(std::max(size_ + additional, 2 * capacity_));
    }

    // Appends without checking for room, for writers that fill several columns row by row
    // and check the room of all of them once per row.
    void push_back_reserved(T value) noexcept { data_[size_++] = value; }

    // Vectorised writers fill the reserved room past the end directly, then count the
    // values they filled.
    T* unfilled() noexcept { return data_ + size_; }
    void mark_filled(std::size_t count) noexcept { size_ += count; }
    // Drops the values from `count` on.
    void truncate(std::size_t count) noexcept { size_ = std::min(size_, count); }

    void append(const Column& other) {
        reserve_more(other.size_);
        if (other.size_ > 0) std::memcpy(data_ + size_, other.data_, other.size_ * sizeof(T));
        size_ += other.size_;
    }

    // Gives up the buffer (null when empty); the caller frees it with std::free.
    T* release() noexcept {
        size_ = 0;
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    [[gnu::noinline]] void grow() { reserve(capacity_ == 0 ? 16 : 2 * capacity_); }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace zpr

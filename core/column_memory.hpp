// Memory for result columns.
//
// A query's result is new memory every time: a 2,000,000-record aperture fills about 100 MB
// of columns, and having the kernel fault in and zero that much costs more than decoding
// it (malloc hands large blocks back to the kernel as soon as they are freed). Buffers of
// 64 KiB and more are therefore mapped directly, and a freed one is kept for the next query
// instead of being unmapped, up to a fixed total. Buffers of 4 MiB and more are also aligned
// to and backed by 2 MiB huge pages. Small buffers come from malloc, which reuses them.
//
// A buffer is freed with free_column_buffer and the capacity it was allocated with, from
// any thread.
#pragma once

#include <cstddef>

namespace zpr {

// How a large new buffer is backed. Huge pages fault in 2 MiB at a time, which makes fresh
// room fast to fill; but room reserved as an upper bound then has the unfilled end of each
// column resident too, up to a huge page each. Room that is reused call after call (the
// batches of a walk) is faulted in once and wants small pages, so that only what a batch
// fills takes memory.
enum class Pages { Huge, Small };

// Buffers at least this large are mapped and kept for reuse.
inline constexpr std::size_t kMappedColumnBuffer = std::size_t(64) << 10;
// Buffers at least this large are backed by huge pages, unless asked for with Pages::Small.
inline constexpr std::size_t kHugeColumnBuffer = std::size_t(4) << 20;
// The most memory kept in freed large buffers.
inline constexpr std::size_t kKeptColumnMemory = std::size_t(256) << 20;

// A buffer of at least `bytes`; null when memory is short. `capacity` receives the size it
// really has, which the caller passes back when freeing it. A kept buffer is reused as it
// is, whatever its pages.
void* allocate_column_buffer(std::size_t bytes, std::size_t& capacity, Pages pages = Pages::Huge) noexcept;
void free_column_buffer(void* data, std::size_t capacity) noexcept;

// Gives the whole pages within bytes [from, to) of a buffer back to the system, for room a
// result reserved but did not fill: a huge page that a column's last rows reach is resident
// as a whole, and a result of many columns would keep megabytes of them. The pages read as
// zeros when touched again. Buffers from malloc are left as they are.
void release_unused_room(void* data, std::size_t capacity, std::size_t from, std::size_t to) noexcept;

}  // namespace zpr

#include "column_memory.hpp"

#include "linux_calls.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <sys/mman.h>
#include <vector>

namespace zpr {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// At most this many freed buffers are kept, so that looking for one stays quick.
constexpr std::size_t kKeptBufferCount = 512;

// The size a mapping for `bytes` gets: whole huge pages for large buffers, pages otherwise.
std::size_t mapping_size(std::size_t bytes) {
    const std::size_t unit = bytes >= kHugeColumnBuffer ? kHugePage : kPage;
    return (bytes + unit - 1) / unit * unit;
}

void* map_pages(std::size_t bytes) noexcept {
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return data == MAP_FAILED ? nullptr : data;
}

// Maps `bytes` (a multiple of the huge-page size) at a huge-page boundary.
void* map_huge_pages(std::size_t bytes) noexcept {
    // Map one huge page more than needed, then unmap the unaligned head and the tail.
    const std::size_t mapped = bytes + kHugePage;
    void* raw = map_pages(mapped);
    if (raw == nullptr) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::size_t tail = start + mapped - (aligned + bytes);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    advise_huge_pages(reinterpret_cast<void*>(aligned), bytes);
    return reinterpret_cast<void*>(aligned);
}

// Freed mapped buffers, oldest first, kept for reuse while their total stays bounded.
class KeptBuffers {
public:
    // A kept buffer of at least `bytes` and not much more, or null.
    void* take(std::size_t bytes, std::size_t& capacity) {
        std::lock_guard lock(mutex_);
        // The smallest that fits; a much larger one would keep memory busy for nothing.
        auto best = buffers_.end();
        for (auto it = buffers_.begin(); it != buffers_.end(); ++it) {
            if (it->capacity >= bytes && it->capacity <= 2 * bytes &&
                (best == buffers_.end() || it->capacity < best->capacity))
                best = it;
        }
        if (best == buffers_.end()) return nullptr;
        void* data = best->data;
        capacity = best->capacity;
        total_ -= capacity;
        buffers_.erase(best);
        return data;
    }

    // Keeps a freed buffer, unmapping the oldest kept ones to stay within the bound; a buffer
    // larger than the whole bound is unmapped at once. Throws only when the list cannot grow,
    // with `data` not kept.
    void keep(void* data, std::size_t capacity) {
        if (capacity > kKeptColumnMemory) {
            ::munmap(data, capacity);
            return;
        }
        std::lock_guard lock(mutex_);
        while (!buffers_.empty() && (total_ + capacity > kKeptColumnMemory || buffers_.size() >= kKeptBufferCount)) {
            ::munmap(buffers_.front().data, buffers_.front().capacity);
            total_ -= buffers_.front().capacity;
            buffers_.erase(buffers_.begin());
        }
        buffers_.push_back({data, capacity});
        total_ += capacity;
    }

private:
    struct Buffer {
        void* data;
        std::size_t capacity;
    };
    std::mutex mutex_;
    std::vector<Buffer> buffers_;
    std::size_t total_ = 0;
};

// Never destroyed: capsules holding buffers may be freed while the process exits.
KeptBuffers& kept_buffers() {
    static auto* buffers = new KeptBuffers;
    return *buffers;
}

}  // namespace

void* allocate_column_buffer(std::size_t bytes, std::size_t& capacity, Pages pages) noexcept {
    if (bytes < kMappedColumnBuffer) {
        capacity = bytes;
        return std::malloc(bytes);
    }
    try {
        if (void* data = kept_buffers().take(bytes, capacity)) return data;
    } catch (...) {
        // A lock or list failure only means no buffer is reused.
    }
    const std::size_t mapped = mapping_size(bytes);
    void* data = mapped >= kHugeColumnBuffer && pages == Pages::Huge ? map_huge_pages(mapped) : map_pages(mapped);
    if (data != nullptr) capacity = mapped;
    return data;
}

void free_column_buffer(void* data, std::size_t capacity) noexcept {
    if (data == nullptr) return;
    if (capacity < kMappedColumnBuffer) {
        std::free(data);
        return;
    }
    try {
        kept_buffers().keep(data, capacity);
    } catch (...) {
        ::munmap(data, capacity);
    }
}

void release_unused_room(void* data, std::size_t capacity, std::size_t from, std::size_t to) noexcept {
    if (data == nullptr || capacity < kMappedColumnBuffer) return;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + from + kPage - 1) / kPage * kPage;
    const std::uintptr_t last = (start + std::min(to, capacity)) / kPage * kPage;
    // Advice only: should it fail, the pages simply stay.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace zpr

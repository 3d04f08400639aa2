#include "column.hpp"

#include <sys/mman.h>

namespace zpr {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Advice only: without transparent huge pages the buffer simply uses small pages.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
    // Only whole huge pages inside the buffer can be backed by one.
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

void* grow_column_buffer(void* data, std::size_t used, std::size_t bytes) noexcept {
    if (bytes < 2 * kHugePage) return std::realloc(data, bytes);
    void* grown = nullptr;
    if (used == 0) {
        // Nothing to keep: a fresh, aligned buffer is huge pages from its first byte on.
        if (posix_memalign(&grown, kHugePage, bytes) != 0) return nullptr;
        std::free(data);
    } else {
        // realloc moves a large buffer by remapping its pages, without copying them.
        grown = std::realloc(data, bytes);
        if (grown == nullptr) return nullptr;
    }
    prefer_huge_pages(grown, bytes);
    return grown;
}

}  // namespace zpr

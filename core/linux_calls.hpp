// The few Linux-only system calls the core uses, each behind a wrapper whose fallback elsewhere
// keeps the behaviour and only gives up the speed-up: the callers never depend on the call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zpr {

// Copies up to `bytes` from descriptor `from` at `from_offset` to descriptor `to` at its file
// position inside the kernel (copy_file_range), advancing `from_offset` by what was copied.
// Returns the bytes copied, or -1 with errno set. Where there is no such call, fails with
// ENOSYS, which callers treat as "copy through a buffer instead".
long copy_between_files(int from, uint64_t& from_offset, int to, std::size_t bytes) noexcept;

// Asks for transparent huge pages behind [data, data + bytes) (madvise MADV_HUGEPAGE).
// Advice only: without it, or elsewhere, the memory simply uses small pages.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace zpr

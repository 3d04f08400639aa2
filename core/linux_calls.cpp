#include "linux_calls.hpp"

#include <cerrno>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace zpr {

long copy_between_files([[maybe_unused]] int from, [[maybe_unused]] uint64_t& from_offset, [[maybe_unused]] int to,
                        [[maybe_unused]] std::size_t bytes) noexcept {
#ifdef __linux__
    loff_t offset = loff_t(from_offset);
    const ssize_t copied = ::copy_file_range(from, &offset, to, nullptr, bytes, 0);
    if (copied > 0) from_offset = uint64_t(offset);
    return long(copied);
#else
    errno = ENOSYS;
    return -1;
#endif
}

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    ::madvise(data, bytes, MADV_HUGEPAGE);
#endif
}

}  // namespace zpr

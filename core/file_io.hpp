// A small file layer over POSIX descriptors.
//
// Reads always name an absolute offset (pread), so no operation depends on a shared file
// position and a reader can serve queries in any order. Sizes that come from a file are
// checked against the file's length before a buffer is allocated for them, so a damaged
// count ends in "failed to fill whole buffer" instead of a huge allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zpr {

class BackgroundWrites;

// Fails with "failed to fill whole buffer" unless [offset, offset + length) lies within the
// first `file_size` bytes.
void require_within(uint64_t file_size, uint64_t offset, uint64_t length);

class File {
public:
    static File open_read(const std::string& path);
    // Creates or truncates `path` for writing, permission bits 0666 before the umask.
    static File create_truncate(const std::string& path);
    // Creates `path` for writing; fails with EEXIST if anything is there already.
    static File create_exclusive(const std::string& path);

    File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    int fd() const noexcept { return fd_; }
    uint64_t size() const;
    dev_t device() const;
    ino_t inode() const;

    // Reads exactly `out.size()` bytes at `offset`; "failed to fill whole buffer" at EOF.
    void read_exact_at(uint64_t offset, std::span<uint8_t> out) const;
    // Like read_exact_at, but first checks that the file can hold `length` bytes at `offset`,
    // so that no buffer is allocated for bytes that are not there.
    std::vector<uint8_t> read_vector_at(uint64_t offset, uint64_t length) const;
    // Fails with "failed to fill whole buffer" unless [offset, offset + length) lies in the file.
    void require_range(uint64_t offset, uint64_t length) const;

    void write_all(std::span<const uint8_t> data) const;
    uint64_t current_position() const;

private:
    explicit File(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Buffered writer with a 1 MiB buffer. A write that does not fit in the free part of the
// buffer sends the buffer out first; a write at least as large as the buffer goes straight
// to the file. A full buffer is written out on a helper thread while a second one fills
// (background_writes.hpp); flush() and position() wait for every write, and a failed write
// is reported by the next call that sends a buffer out or waits.
class BufferedWriter {
public:
    static constexpr std::size_t kCapacity = 1 << 20;

    explicit BufferedWriter(File file);
    // Writes out what is still buffered on a best-effort basis, ignoring errors.
    ~BufferedWriter();
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    void write(std::span<const uint8_t> data);
    void write_u32(uint32_t value);
    void write_u64(uint64_t value);
    void write_zeros(uint64_t count);
    // Moves `length` bytes at `offset` of `source` into the file. They are read straight into
    // the buffer, so memory stays bounded whatever the length; a range of at least the
    // buffer's size is copied inside the kernel where the file systems allow it.
    void write_from(const File& source, uint64_t offset, uint64_t length);
    // Room for `length` bytes (at most kCapacity) at the end of the buffer, for the caller to
    // fill in place and then hand over with commit(length): bytes read from a file go out
    // without a copy of their own. The buffer is sent first when it has less room.
    std::span<uint8_t> room(std::size_t length);
    void commit(std::size_t length) noexcept { used_ += length; }
    // Writes out the buffer and waits until everything written so far is in the file.
    void flush();
    // The file's end position after flushing the buffer.
    uint64_t position();

private:
    // Starts writing out the buffer and carries on in the other one.
    void send_buffer();
    // Copies what it can of the range in the kernel; returns the bytes copied, fewer than
    // asked when the file systems cannot copy between each other.
    uint64_t copy_in_kernel(const File& source, uint64_t offset, uint64_t length);

    File file_;
    std::vector<uint8_t> buffer_;  // being filled
    std::vector<uint8_t> spare_;   // being written out, or free
    std::size_t used_ = 0;
    // Set once the kernel has refused to copy into this file: the rest goes through the buffer
    // instead of asking again for every range.
    bool kernel_copy_refused_ = false;
    // Declared last, so that the helper has stopped before the buffers and the file go.
    std::unique_ptr<BackgroundWrites> writes_;
};

// Little-endian field access on byte buffers.
inline uint16_t load_u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_u64(const uint8_t* p) { return uint64_t(load_u32(p)) | (uint64_t(load_u32(p + 4)) << 32); }
inline void store_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void store_u64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace zpr

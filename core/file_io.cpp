#include "file_io.hpp"

#include "background_writes.hpp"
#include "error.hpp"
#include "linux_calls.hpp"
#include "stop_request.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zpr {

namespace {

// The kernel would see only the part before a NUL byte: a different file.
const char* checked_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw Error("file name contained an unexpected NUL byte");
    return path.c_str();
}

struct stat stat_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw os_error(errno);
    return st;
}

}  // namespace

File File::open_read(const std::string& path) {
    int fd = ::open(checked_path(path), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw os_error(errno);
    return File(fd);
}

File File::create_truncate(const std::string& path) {
    int fd = ::open(checked_path(path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw os_error(errno);
    return File(fd);
}

File File::create_exclusive(const std::string& path) {
    int fd = ::open(checked_path(path), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw os_error(errno);
    return File(fd);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t File::size() const { return uint64_t(stat_of(fd_).st_size); }
dev_t File::device() const { return stat_of(fd_).st_dev; }
ino_t File::inode() const { return stat_of(fd_).st_ino; }

void File::read_exact_at(uint64_t offset, std::span<uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        // Offsets beyond the signed range are refused by the kernel (EINVAL), as a seek would be.
        ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw os_error(errno);
        }
        if (got == 0) throw unexpected_eof();
        done += std::size_t(got);
    }
}

void require_within(uint64_t file_size, uint64_t offset, uint64_t length) {
    if (offset > file_size || length > file_size - offset) throw unexpected_eof();
}

void File::require_range(uint64_t offset, uint64_t length) const { require_within(size(), offset, length); }

std::vector<uint8_t> File::read_vector_at(uint64_t offset, uint64_t length) const {
    require_range(offset, length);
    std::vector<uint8_t> bytes(length);
    read_exact_at(offset, bytes);
    return bytes;
}

void File::write_all(std::span<const uint8_t> data) const {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t put = ::write(fd_, data.data() + done, data.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw os_error(errno);
        }
        if (put == 0) throw Error("failed to write whole buffer");
        done += std::size_t(put);
    }
}

uint64_t File::current_position() const {
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position < 0) throw os_error(errno);
    return uint64_t(position);
}

BufferedWriter::BufferedWriter(File file)
    : file_(std::move(file)),
      buffer_(kCapacity),
      spare_(kCapacity),
      writes_(std::make_unique<BackgroundWrites>(file_)) {}

BufferedWriter::~BufferedWriter() {
    try {
        flush();
    } catch (...) {
        // Best effort only: the operation that discarded the writer already reports its error.
    }
}

void BufferedWriter::send_buffer() {
    throw_if_stop_requested();  // a writer's loops all pass here once per MiB
    // Forget the bytes before sending them: a failed write is reported once, never retried
    // by the destructor.
    const std::size_t pending = std::exchange(used_, 0);
    if (pending == 0) return;
    writes_->start(std::span(buffer_.data(), pending));
    buffer_.swap(spare_);  // the helper goes on writing from the same memory, now spare_
}

void BufferedWriter::write(std::span<const uint8_t> data) {
    if (data.size() > kCapacity - used_) send_buffer();
    if (data.size() >= kCapacity) {
        writes_->wait();
        file_.write_all(data);
        return;
    }
    std::copy(data.begin(), data.end(), buffer_.begin() + std::ptrdiff_t(used_));
    used_ += data.size();
}

std::span<uint8_t> BufferedWriter::room(std::size_t length) {
    if (length > kCapacity - used_) send_buffer();
    return std::span(buffer_.data() + used_, length);
}

void BufferedWriter::write_u32(uint32_t value) {
    uint8_t bytes[4];
    store_u32(bytes, value);
    write(bytes);
}

void BufferedWriter::write_u64(uint64_t value) {
    uint8_t bytes[8];
    store_u64(bytes, value);
    write(bytes);
}

void BufferedWriter::write_zeros(uint64_t count) {
    static const std::vector<uint8_t> zeros(64 * 1024);
    while (count > 0) {
        std::size_t piece = std::size_t(std::min<uint64_t>(count, zeros.size()));
        write(std::span(zeros.data(), piece));
        count -= piece;
    }
}

void BufferedWriter::write_from(const File& source, uint64_t offset, uint64_t length) {
    while (length > 0) {
        throw_if_stop_requested();
        // A long range goes past the buffer: what is buffered is sent first, so that the
        // kernel's copy lands after it at the file's position.
        if (length >= kCapacity && !kernel_copy_refused_) {
            send_buffer();
            writes_->wait();
            const uint64_t copied = copy_in_kernel(source, offset, length);
            offset += copied;
            length -= copied;
            if (length == 0) return;
        }
        if (used_ == kCapacity) send_buffer();
        const std::size_t piece = std::size_t(std::min<uint64_t>(length, kCapacity - used_));
        source.read_exact_at(offset, std::span(buffer_.data() + used_, piece));
        used_ += piece;
        offset += piece;
        length -= piece;
    }
}

uint64_t BufferedWriter::copy_in_kernel(const File& source, uint64_t offset, uint64_t length) {
    uint64_t copied = 0;
    while (copied < length) {
        throw_if_stop_requested();
        uint64_t source_offset = offset + copied;
        // Pieces of 64 MiB take a few tens of milliseconds: a stop request is seen soon.
        const std::size_t piece = std::size_t(std::min<uint64_t>(length - copied, uint64_t(64) << 20));
        const long done = copy_between_files(source.fd(), source_offset, file_.fd(), piece);
        if (done < 0) {
            if (errno == EINTR) continue;
            // Not supported between these files: the caller copies through the buffer.
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
                kernel_copy_refused_ = true;
                return copied;
            }
            throw os_error(errno);
        }
        if (done == 0) throw unexpected_eof();
        copied += uint64_t(done);
    }
    return copied;
}

void BufferedWriter::flush() {
    send_buffer();
    writes_->wait();
}

uint64_t BufferedWriter::position() {
    flush();
    return file_.current_position();
}

}  // namespace zpr

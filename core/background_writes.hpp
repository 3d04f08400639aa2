// Writes to a file on a helper thread, one piece at a time, while the caller goes on.
//
// A copy spends about as long reading its source as writing its output; with the writes on
// a second core, the next buffer is read while the last one is written. Only one write is
// ever outstanding, so pieces reach the file in the order given. The helper starts with the
// first piece and lives no longer than this object (a forked child inherits no worker); when
// no thread can be had, pieces are written on the caller's thread instead.
#pragma once

#include "file_io.hpp"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <thread>

namespace zpr {

class BackgroundWrites {
public:
    explicit BackgroundWrites(const File& file) : file_(file) {}
    // Waits for the outstanding write, if any, and stops the helper. Its error, if not
    // reported yet, is dropped: whatever discards the writes reports its own.
    ~BackgroundWrites();
    BackgroundWrites(const BackgroundWrites&) = delete;
    BackgroundWrites& operator=(const BackgroundWrites&) = delete;

    // Starts writing `piece`, which must stay untouched until the next call of start() or
    // wait(). First waits for the write before and throws its error, if any; `piece` is then
    // not written.
    void start(std::span<const uint8_t> piece);
    // Waits until every piece is written; throws the error of a failed write once.
    void wait();

private:
    void run();

    const File& file_;
    std::thread helper_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::span<const uint8_t> piece_;  // being written while `busy_`
    bool busy_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
};

}  // namespace zpr

#include "background_writes.hpp"

#include <system_error>
#include <utility>

namespace zpr {

BackgroundWrites::~BackgroundWrites() {
    if (!helper_.joinable()) return;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !busy_; });
        stopping_ = true;
    }
    changed_.notify_all();
    helper_.join();
}

void BackgroundWrites::start(std::span<const uint8_t> piece) {
    wait();
    if (!helper_.joinable()) {
        try {
            helper_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            file_.write_all(piece);  // no thread to be had: written here and now
            return;
        }
    }
    {
        std::lock_guard lock(mutex_);
        piece_ = piece;
        busy_ = true;
    }
    changed_.notify_all();
}

void BackgroundWrites::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !busy_; });
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void BackgroundWrites::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return busy_ || stopping_; });
        if (!busy_) return;
        const std::span<const uint8_t> piece = piece_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            file_.write_all(piece);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        failure_ = failure;
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace zpr

#include "arrow/read_ahead.hpp"

#include "error.hpp"
#include "run_both.hpp"

#include <system_error>
#include <unistd.h>

namespace zpr::py {

ReadAhead::~ReadAhead() {
    if (helper_process_ != 0 && helper_process_ != ::getpid()) {
        // A forked child: the helper stayed in the parent, and this process can neither
        // join nor detach it. Its handle and the lock and signal it shared are left behind.
        new std::thread(std::move(helper_));
        (void)sync_.release();
        return;
    }
    {
        const std::lock_guard lock(sync_->mutex);
        finishing_ = true;
        stop_.store(true, std::memory_order_relaxed);
    }
    sync_->changed.notify_all();
    if (helper_.joinable()) helper_.join();
}

std::optional<ResultTable> ReadAhead::next() {
    if (helper_process_ != 0 && helper_process_ != ::getpid())
        throw Error("the stream was being read ahead in the process this one was forked from, where it can go on; "
                    "in this process, ask the PulseReader for a new stream");
    std::unique_lock lock(sync_->mutex);
    for (;;) {
        cut_ahead(lock);
        if (slots_.empty()) return std::nullopt;
        if (slots_.front().state == State::Read) {
            Slot done = std::move(slots_.front());
            slots_.pop_front();
            if (done.failure) std::rethrow_exception(done.failure);
            return std::move(done.table);
        }
        // Rather than wait for the helper, read a batch here: the next one out, or the one
        // after it while the helper reads the next.
        Slot* own = nullptr;
        for (Slot& slot : slots_) {
            if (slot.state == State::Cut) {
                own = &slot;
                break;
            }
        }
        if (own != nullptr)
            read(*own, lock);
        else
            sync_->changed.wait(lock);
    }
}

void ReadAhead::cut_ahead(std::unique_lock<std::mutex>& lock) {
    while (next_ && slots_.size() < kCutAhead) {
        // Only this thread cuts: the walk is used without the lock.
        lock.unlock();
        Slot slot;
        try {
            if (std::optional<BatchWork> work = next_())
                slot.work = std::move(*work);
            else
                next_ = nullptr;  // lets go of the walk (batches being read hold what they need)
        } catch (...) {
            slot.failure = std::current_exception();
            slot.state = State::Read;
            next_ = nullptr;  // the batch that failed is the last
        }
        lock.lock();
        if (!slot.work && !slot.failure) return;
        slots_.push_back(std::move(slot));
        if (slots_.size() > 1 && !helper_.joinable()) {
            try {
                helper_ = std::thread([this] { help(); });
                helper_process_ = ::getpid();
            } catch (const std::system_error&) {
                // No thread to be had: this thread reads every batch.
            }
        }
        sync_->changed.notify_all();
    }
}

void ReadAhead::read(Slot& slot, std::unique_lock<std::mutex>& lock) {
    slot.state = State::Reading;
    BatchWork work = std::move(slot.work);
    // Another batch may be read beside this one: the helper's, or the consumer's thread's.
    const bool beside_another = helper_.joinable();
    lock.unlock();
    std::optional<ResultTable> table;
    std::exception_ptr failure;
    try {
        std::optional<OneThreadScope> one_thread;
        if (beside_another) one_thread.emplace();
        table = work();
    } catch (...) {
        failure = std::current_exception();
    }
    work = nullptr;  // the batch's apertures and headers
    lock.lock();
    slot.table = std::move(table);
    slot.failure = failure;
    slot.state = State::Read;
    sync_->changed.notify_all();
}

void ReadAhead::help() {
    const StopScope scope(&stop_);
    std::unique_lock lock(sync_->mutex);
    for (;;) {
        Slot* cut = nullptr;
        sync_->changed.wait(lock, [&] {
            for (Slot& slot : slots_) {
                if (slot.state == State::Cut) {
                    cut = &slot;
                    break;
                }
            }
            return finishing_ || cut != nullptr;
        });
        if (finishing_) return;
        read(*cut, lock);
    }
}

}  // namespace zpr::py

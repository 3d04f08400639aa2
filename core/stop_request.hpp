// Stopping long work early, at the request of whoever waits for it.
//
// A query over a whole run or a copy of one takes seconds; the thread that waits for it
// (in the bindings, the one that learns of Ctrl-C) may want it to end sooner. The waiter
// owns a StopRequest and installs it with StopScope on the thread that runs the work; the
// work asks stop_requested() between pieces of at most a few MiB of reading, copying or
// decoding, and on a request unwinds by throwing Stopped, freeing its memory on the way out.
// Helper threads the work starts (run_both) take the request of the thread that starts them.
// Work that runs with no request installed never stops early.
#pragma once

#include <atomic>
#include <exception>

namespace zpr {

using StopRequest = std::atomic<bool>;

// Thrown by work that stopped on request; not an Error: nothing failed.
class Stopped : public std::exception {
public:
    const char* what() const noexcept override { return "stopped on request"; }
};

// The request that work on this thread obeys, null for none.
const StopRequest* current_stop_request() noexcept;

// Installs `request` for the work on this thread while it lives, and restores the one before.
class StopScope {
public:
    explicit StopScope(const StopRequest* request) noexcept;
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const StopRequest* previous_;
};

// Throws Stopped when the work on this thread has been asked to stop.
inline void throw_if_stop_requested() {
    const StopRequest* request = current_stop_request();
    if (request != nullptr && request->load(std::memory_order_relaxed)) throw Stopped();
}

}  // namespace zpr

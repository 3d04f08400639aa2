// Two pieces of work at once: the second on a helper thread, the first on the caller's.
//
// Large queries split their records in two halves that the machine's cores decode side by
// side. The helper thread lives only for the call, so nothing outlives it (a forked child
// inherits no worker), and a helper that cannot be started just means the second half runs
// after the first. The helper obeys the caller's stop request (stop_request.hpp).
//
// A caller that keeps the cores busy itself, with several queries at once, installs a
// OneThreadScope on each of their threads: splitting then costs more than it gains (the
// back half of a pulse query first counts the front half's pulses), so the queries on that
// thread neither split nor start helpers.
#pragma once

#include "stop_request.hpp"

#include <exception>
#include <system_error>
#include <thread>

namespace zpr {

// Whether queries on this thread may split their work with a helper thread.
bool may_share_work() noexcept;

// Keeps the queries on this thread on this thread while it lives.
class OneThreadScope {
public:
    OneThreadScope() noexcept;
    ~OneThreadScope();
    OneThreadScope(const OneThreadScope&) = delete;
    OneThreadScope& operator=(const OneThreadScope&) = delete;

private:
    bool previous_;
};

// Runs `first()` and `second()`, in parallel where possible. Both always run to the end;
// then the exception of the first to fail, if any, is rethrown.
template <class First, class Second>
void run_both(First&& first, Second&& second) {
    std::exception_ptr second_failure;
    auto run_second = [&] {
        try {
            second();
        } catch (...) {
            second_failure = std::current_exception();
        }
    };
    std::thread helper;
    try {
        if (may_share_work())
            helper = std::thread([&, stop_request = current_stop_request()] {
                const StopScope scope(stop_request);
                run_second();
            });
    } catch (const std::system_error&) {
        // No thread to be had: one after the other, the first first.
    }
    std::exception_ptr first_failure;
    try {
        first();
    } catch (...) {
        first_failure = std::current_exception();
    }
    if (helper.joinable())
        helper.join();
    else
        run_second();
    if (first_failure) std::rethrow_exception(first_failure);
    if (second_failure) std::rethrow_exception(second_failure);
}

}  // namespace zpr

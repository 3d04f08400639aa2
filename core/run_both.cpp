#include "run_both.hpp"

namespace zpr {

namespace {
thread_local bool t_one_thread = false;
}

bool may_share_work() noexcept { return !t_one_thread; }

OneThreadScope::OneThreadScope() noexcept : previous_(t_one_thread) { t_one_thread = true; }

OneThreadScope::~OneThreadScope() { t_one_thread = previous_; }

}  // namespace zpr

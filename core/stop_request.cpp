#include "stop_request.hpp"

namespace zpr {

namespace {
thread_local const StopRequest* t_stop_request = nullptr;
}

const StopRequest* current_stop_request() noexcept { return t_stop_request; }

StopScope::StopScope(const StopRequest* request) noexcept : previous_(t_stop_request) { t_stop_request = request; }

StopScope::~StopScope() { t_stop_request = previous_; }

}  // namespace zpr

#include "pulse_reader/records/pulse_columns.hpp"

namespace zpr {

void PulseColumns::reserve_more(std::size_t additional) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).reserve_more(additional); });
}

void PulseColumns::mark_filled(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).mark_filled(count); });
}

}  // namespace zpr

#include "pulse_reader/records/pulse_columns.hpp"

namespace zpr {


void PulseColumns::reserve(std::size_t count) {
    detail::for_each_pulse_column([&](auto column, auto) { (this->*column).reserve(count); });
}

void PulseColumns::append(const PulseColumns& other) {
    detail::for_each_pulse_column([&](auto column, auto) {
        (this->*column).append(other.*column);
    });
}

NormalizedPulse PulseColumns::operator[](std::size_t i) const {
    NormalizedPulse pulse;
    detail::for_each_pulse_column([&](auto column, auto field) { pulse.*field = (this->*column)[i]; });
    return pulse;
}

}  // namespace zpr

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

void PulseColumns::reserve_more(std::size_t additional) {
    detail::for_each_pulse_column([&](auto column, auto) { (this->*column).reserve_more(additional); });
}

PulseColumns PulseColumns::rows(const Column<std::size_t>& which) const {
    PulseColumns selected;
    selected.reserve(which.size());
    detail::for_each_pulse_column([&](auto column, auto) {
        const auto& from = this->*column;
        auto& to = selected.*column;
        for (std::size_t j = 0; j < which.size(); ++j) to.push_back_reserved(from[which[j]]);
    });
    return selected;
}

NormalizedPulse PulseColumns::operator[](std::size_t i) const {
    NormalizedPulse pulse;
    detail::for_each_pulse_column([&](auto column, auto field) { pulse.*field = (this->*column)[i]; });
    return pulse;
}

}  // namespace zpr

#include "pulse_reader/records/pulse_columns.hpp"

namespace zpr {


void PulseColumns::reserve(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).reserve(count); });
}

void PulseColumns::append(const PulseColumns& other) {
    detail::for_each_pulse_column([&](auto column) {
        (this->*column).append(other.*column);
    });
}

void PulseColumns::reserve_more(std::size_t additional) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).reserve_more(additional); });
}

void PulseColumns::mark_filled(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).mark_filled(count); });
}

void PulseColumns::keep_rows(const Column<std::size_t>& which) {
    detail::for_each_pulse_column([&](auto column) {
        auto& values = this->*column;
        for (std::size_t j = 0; j < which.size(); ++j) values[j] = values[which[j]];
        values.truncate(which.size());
    });
}

}  // namespace zpr

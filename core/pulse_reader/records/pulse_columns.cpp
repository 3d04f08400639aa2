#include "pulse_reader/records/pulse_columns.hpp"

#include <cstring>

namespace zpr {

void PulseColumns::reserve(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).reserve(count); });
}

void PulseColumns::mark_filled(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).mark_filled(count); });
}

void PulseColumns::move_rows(std::size_t first, std::size_t last, std::size_t to, std::size_t part,
                             std::size_t parts) {
    if (to == first || first == last) return;
    std::size_t position = 0;
    detail::for_each_pulse_column([&](auto column) {
        if (position++ % parts != part) return;
        auto* values = (this->*column).data();
        std::memmove(values + to, values + first, (last - first) * sizeof(*values));
    });
}

}  // namespace zpr

#include "pulse_reader/records/pulse_columns.hpp"

namespace zpr {

void PulseColumns::reserve(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).reserve(count); });
}

void PulseColumns::reserve_more(std::size_t additional) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).reserve_more(additional); });
}

void PulseColumns::mark_filled(std::size_t count) {
    detail::for_each_pulse_column([&](auto column) { (this->*column).mark_filled(count); });
}

void PulseColumns::keep_rows(std::size_t first, const Column<uint8_t>& keep) {
    detail::for_each_pulse_column([&](auto column) {
        // Each value is written to the next free row and that row advances only when the
        // value is kept: no branch per row. Row j is written after rows j and later are read.
        auto& values = this->*column;
        auto* const v = &values[first];
        const uint8_t* const k = keep.data();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < keep.size(); ++i) {
            v[kept] = v[i];
            kept += k[i];
        }
        values.truncate(first + kept);
    });
}

}  // namespace zpr

#include "pulse_reader/records/pulse_columns.hpp"

#include <cstring>

namespace zpr {

void PulseColumns::reserve(std::size_t count, Pages pages) {
    index.reserve(count, pages);
    aperture_index.reserve(count, pages);
    frames.reserve(count, pages);
    quantities.reserve(count, pages);
}

void PulseColumns::mark_filled(std::size_t count) {
    // The blocks' columns have as many rows as these two.
    index.mark_filled(count);
    aperture_index.mark_filled(count);
}

void PulseColumns::move_rows(std::size_t first, std::size_t last, std::size_t to, std::size_t part,
                             std::size_t parts) {
    if (to == first || first == last) return;
    std::size_t position = 0;
    auto move = [&](auto* values) {
        if (position++ % parts != part) return;
        std::memmove(values + to, values + first, (last - first) * sizeof(*values));
    };
    move(index.data());
    move(aperture_index.data());
    for (std::size_t k = 0; k < frames.kWidth; ++k) move(frames.column(k));
    for (std::size_t k = 0; k < quantities.kWidth; ++k) move(quantities.column(k));
}

}  // namespace zpr

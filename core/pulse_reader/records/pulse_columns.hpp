// The pulses of one aperture (or of several, one after the other), held column by column:
// row i of every column describes pulse i. Each column is one contiguous buffer that the
// Python layer hands to NumPy as it is, without gathering or copying.
//
// A pulse is placed on its aperture's frame clock (pulse_builder.hpp); its other quantities
// come from its record: bin-1 values unprefixed, bin-0 values prefixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include "column.hpp"

namespace zpr {

struct PulseColumns {
    Column<uint64_t> index;   // position of the pulse's record among all records of the aperture
    Column<uint64_t> aperture_index;  // the aperture the pulse belongs to, as asked for
    Column<uint32_t> start_f;
    Column<uint32_t> end_f;   // start_f + dur_f
    Column<uint32_t> dur_f;
    Column<float> dur_s;      // dur_f / frame rate
    Column<uint32_t> ipd_f;   // start_f minus the previous pulse's end_f; 0 for the first pulse
    Column<float> ipd_s;      // ipd_f / frame rate
    Column<float> snr;        // bin1_intensity / bin1_bg_std
    Column<float> intensity;  // bin1_intensity
    Column<float> bin0_intensity;
    Column<float> intensity_display;  // bin1_intensity + bin1_bg_mean
    Column<float> binratio;           // bin0_intensity / bin1_intensity
    Column<float> bg_mean;            // bin1_bg_mean
    Column<float> bg_std;             // bin1_bg_std
    Column<float> bin0_bg_mean;
    Column<float> bin0_bg_std;

    std::size_t size() const noexcept { return index.size(); }
    // Room for `count` rows in every column, which must still be empty.
    void reserve(std::size_t count);
    // Counts `count` rows written directly past the end of every column.
    void mark_filled(std::size_t count);
    // Moves the reserved rows [first, last) to start at row `to` (at most `first`), in the
    // columns whose position is `part` modulo `parts` (every column by default), so that
    // several threads can share a large move.
    void move_rows(std::size_t first, std::size_t last, std::size_t to, std::size_t part = 0, std::size_t parts = 1);
};

namespace detail {

// Calls `visit(column)` for every column, as a pointer to member.
template <class Visit>
void for_each_pulse_column(Visit&& visit) {
    using C = PulseColumns;
    visit(&C::index);
    visit(&C::aperture_index);
    visit(&C::start_f);
    visit(&C::end_f);
    visit(&C::dur_f);
    visit(&C::dur_s);
    visit(&C::ipd_f);
    visit(&C::ipd_s);
    visit(&C::snr);
    visit(&C::intensity);
    visit(&C::bin0_intensity);
    visit(&C::intensity_display);
    visit(&C::binratio);
    visit(&C::bg_mean);
    visit(&C::bg_std);
    visit(&C::bin0_bg_mean);
    visit(&C::bin0_bg_std);
}

}  // namespace detail

}  // namespace zpr

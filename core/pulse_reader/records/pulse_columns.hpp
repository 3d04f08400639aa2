// A list of pulses held column by column, one contiguous buffer per field, so that the
// Python layer can hand every column to NumPy without gathering or copying.
#pragma once

#include "pulse_reader/records/normalized_pulse.hpp"

#include <cstddef>
#include "column.hpp"

namespace zpr {

struct PulseColumns {
    Column<uint64_t> index;
    Column<uint32_t> start_f;
    Column<uint32_t> end_f;
    Column<uint32_t> dur_f;
    Column<float> dur_s;
    Column<uint32_t> ipd_f;
    Column<float> ipd_s;
    Column<float> snr;
    Column<float> intensity;
    Column<float> bin0_intensity;
    Column<float> intensity_display;
    Column<float> binratio;
    Column<float> bg_mean;
    Column<float> bg_std;
    Column<float> bin0_bg_mean;
    Column<float> bin0_bg_std;

    std::size_t size() const noexcept { return index.size(); }
    bool empty() const noexcept { return index.empty(); }
    void reserve(std::size_t count);
    void reserve_more(std::size_t additional);
    void push_back(const NormalizedPulse& pulse);
    void append(const PulseColumns& other);
    // The rows listed in `which`, in that order.
    PulseColumns rows(const Column<std::size_t>& which) const;
    NormalizedPulse operator[](std::size_t i) const;
};

namespace detail {

// Calls `visit(column, field)` for every column with the matching NormalizedPulse member.
template <class Visit>
void for_each_pulse_column(Visit&& visit) {
    using C = PulseColumns;
    using P = NormalizedPulse;
    visit(&C::index, &P::index);
    visit(&C::start_f, &P::start_f);
    visit(&C::end_f, &P::end_f);
    visit(&C::dur_f, &P::dur_f);
    visit(&C::dur_s, &P::dur_s);
    visit(&C::ipd_f, &P::ipd_f);
    visit(&C::ipd_s, &P::ipd_s);
    visit(&C::snr, &P::snr);
    visit(&C::intensity, &P::intensity);
    visit(&C::bin0_intensity, &P::bin0_intensity);
    visit(&C::intensity_display, &P::intensity_display);
    visit(&C::binratio, &P::binratio);
    visit(&C::bg_mean, &P::bg_mean);
    visit(&C::bg_std, &P::bg_std);
    visit(&C::bin0_bg_mean, &P::bin0_bg_mean);
    visit(&C::bin0_bg_std, &P::bin0_bg_std);
}

}  // namespace detail

// Appending runs once per pulse of every query, so it lives here to be inlined.
// Every column has the same size and capacity, so the room is checked once per pulse.
[[gnu::flatten]] inline void PulseColumns::push_back(const NormalizedPulse& pulse) {
    if (index.size() == index.capacity()) [[unlikely]]
        reserve(index.capacity() == 0 ? 16 : 2 * index.capacity());
    detail::for_each_pulse_column([&](auto column, auto field) { (this->*column).push_back_reserved(pulse.*field); });
}

}  // namespace zpr

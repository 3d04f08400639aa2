#include "pulse_reader/records/pulse_columns.hpp"

namespace zpr {

namespace {

// Calls `visit(column, field)` for every column with the matching NormalizedPulse member.
template <class Visit>
void for_each_column(Visit&& visit) {
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

}  // namespace

void PulseColumns::reserve(std::size_t count) {
    for_each_column([&](auto column, auto) { (this->*column).reserve(count); });
}

void PulseColumns::push_back(const NormalizedPulse& pulse) {
    for_each_column([&](auto column, auto field) { (this->*column).push_back(pulse.*field); });
}

void PulseColumns::append(const PulseColumns& other) {
    for_each_column([&](auto column, auto) {
        (this->*column).insert((this->*column).end(), (other.*column).begin(), (other.*column).end());
    });
}

NormalizedPulse PulseColumns::operator[](std::size_t i) const {
    NormalizedPulse pulse;
    for_each_column([&](auto column, auto field) { pulse.*field = (this->*column)[i]; });
    return pulse;
}

}  // namespace zpr

// A list of pulses held column by column, one contiguous buffer per field, so that the
// Python layer can hand every column to NumPy without gathering or copying.
#pragma once

#include "pulse_reader/records/normalized_pulse.hpp"

#include <cstddef>
#include <vector>

namespace zpr {

struct PulseColumns {
    std::vector<uint64_t> index;
    std::vector<uint32_t> start_f;
    std::vector<uint32_t> end_f;
    std::vector<uint32_t> dur_f;
    std::vector<float> dur_s;
    std::vector<uint32_t> ipd_f;
    std::vector<float> ipd_s;
    std::vector<float> snr;
    std::vector<float> intensity;
    std::vector<float> bin0_intensity;
    std::vector<float> intensity_display;
    std::vector<float> binratio;
    std::vector<float> bg_mean;
    std::vector<float> bg_std;
    std::vector<float> bin0_bg_mean;
    std::vector<float> bin0_bg_std;

    std::size_t size() const noexcept { return index.size(); }
    bool empty() const noexcept { return index.empty(); }
    void reserve(std::size_t count);
    void push_back(const NormalizedPulse& pulse);
    void append(const PulseColumns& other);
    NormalizedPulse operator[](std::size_t i) const;
};

}  // namespace zpr

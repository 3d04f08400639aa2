// Builds the pulses of one aperture from its raw records, piece by piece in file order.
//
// The frame clock of an aperture is a wrapping 32-bit frame count. Each record sits ipd_f
// frames after the clock; a pulse then moves the clock to its end frame, any other record to
// its own position. Since dur_f is zero in every record that is not a pulse, the clock after
// a record is simply the running total of ipd_f + dur_f, and a pulse ends where that total
// stands after it. So a record's ipd_f counts from the end of the last pulse, or from the
// last non-pulse record.
//
// Each piece takes two passes: a scalar one that runs the clock and lists the pulse records
// with their end frames, and one that decodes the listed records eight at a time.
#pragma once

#include "pulse_reader/records/pulse_columns.hpp"
#include "pulse_reader/records/record_lanes.hpp"

#include <cstdint>
#include <vector>

namespace zpr {

class PulseBuilder {
public:
    PulseBuilder(float fps, const LaneDecoder& decoder) : fps_(fps), decoder_(decoder) {}

    // Appends to `pulses` the pulses among the `count` raw records at `bytes`; the first of
    // them is record `first_position` of the aperture.
    void append(const uint8_t* bytes, std::size_t count, uint64_t first_position, PulseColumns& pulses);

private:
    float fps_;
    const LaneDecoder& decoder_;
    uint32_t clock_ = 0;
    uint32_t previous_end_ = 0;  // end frame of the last pulse so far
    bool have_previous_ = false;
    // Per piece: each pulse's record number within the piece and its end frame.
    std::vector<uint32_t> pulse_rows_;
    std::vector<uint32_t> pulse_ends_;
};

}  // namespace zpr

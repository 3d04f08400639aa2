// Per-aperture summaries of a pulse query, one row per aperture, held column by column like
// the query results (the Python layer hands the blocks to NumPy as they are).
#pragma once

#include "column_block.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zpr {

struct ApertureSummaries {
    // aperture_x and aperture_y (from the block header), first_start_f (start_f of the first
    // pulse) and last_end_f (end_f of the last pulse), 0 without pulses.
    ColumnBlock<uint32_t, 4> frames;
    // records (every record of the aperture), pulses (those kept) and nonfinite (kept pulses
    // whose snr, intensity or binratio is not finite).
    ColumnBlock<uint64_t, 3> counts;
    // Means of dur_f, ipd_f, snr, intensity and binratio over the kept pulses, summed in
    // float64 in row order: ipd_f over the pulses after the first (the gaps between pulses),
    // the last three over their finite values; NaN where nothing is left to average.
    ColumnBlock<double, 5> means;
    // The rows whose pulses failed the order check, each with the check's message; such a
    // row counts no pulses.
    std::vector<std::pair<std::size_t, std::string>> errors;
    std::size_t rows = 0;

    // Room for `count` rows in every block, which must still be empty.
    void reserve(std::size_t count) {
        frames.reserve(count);
        counts.reserve(count);
        means.reserve(count);
    }
};

}  // namespace zpr

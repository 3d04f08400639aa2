// The pulses of one aperture (or of several, one after the other), held column by column:
// row i of every column describes pulse i. The Python layer hands the columns to NumPy as
// they are, without gathering or copying: the two 64-bit columns each in a buffer of their
// own, the 32-bit columns in two blocks (column_block.hpp), one per type.
//
// A pulse is placed on its aperture's frame clock (pulse_builder.hpp); its other quantities
// come from its record: bin-1 values unprefixed, bin-0 values prefixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include "column.hpp"
#include "column_block.hpp"

namespace zpr {

struct PulseColumns {
    Column<uint64_t> index;           // position of the pulse's record among all records of the aperture
    Column<uint64_t> aperture_index;  // the aperture the pulse belongs to, as asked for
    // start_f, end_f (start_f + dur_f), dur_f, and ipd_f (start_f minus the previous
    // pulse's end_f; 0 for the first pulse).
    ColumnBlock<uint32_t, 4> frames;
    // dur_s (dur_f / frame rate), ipd_s (ipd_f / frame rate), snr (bin1_intensity /
    // bin1_bg_std), intensity (bin1_intensity), bin0_intensity, intensity_display
    // (bin1_intensity + bin1_bg_mean), binratio (bin0_intensity / bin1_intensity), bg_mean
    // (bin1_bg_mean), bg_std (bin1_bg_std), bin0_bg_mean, bin0_bg_std.
    ColumnBlock<float, 11> quantities;

    uint32_t* start_f() noexcept { return frames.column(0); }
    uint32_t* end_f() noexcept { return frames.column(1); }
    uint32_t* dur_f() noexcept { return frames.column(2); }
    uint32_t* ipd_f() noexcept { return frames.column(3); }
    float* dur_s() noexcept { return quantities.column(0); }
    float* ipd_s() noexcept { return quantities.column(1); }
    float* snr() noexcept { return quantities.column(2); }
    float* intensity() noexcept { return quantities.column(3); }
    float* bin0_intensity() noexcept { return quantities.column(4); }
    float* intensity_display() noexcept { return quantities.column(5); }
    float* binratio() noexcept { return quantities.column(6); }
    float* bg_mean() noexcept { return quantities.column(7); }
    float* bg_std() noexcept { return quantities.column(8); }
    float* bin0_bg_mean() noexcept { return quantities.column(9); }
    float* bin0_bg_std() noexcept { return quantities.column(10); }

    std::size_t size() const noexcept { return index.size(); }
    // Room for `count` rows in every column, which must still be empty, backed by `pages`.
    void reserve(std::size_t count, Pages pages = Pages::Huge);
    // Counts `count` rows written directly past the end of every column.
    void mark_filled(std::size_t count);
    // Moves the reserved rows [first, last) to start at row `to` (at most `first`), in the
    // columns whose position is `part` modulo `parts` (every column by default), so that
    // several threads can share a large move.
    void move_rows(std::size_t first, std::size_t last, std::size_t to, std::size_t part = 0, std::size_t parts = 1);
};

}  // namespace zpr

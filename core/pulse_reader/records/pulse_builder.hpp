// Builds the pulses of one aperture from its raw records, piece by piece in file order, and
// filters them on the way when a filter is given.
//
// The frame clock of an aperture is a wrapping 32-bit frame count. Each record sits ipd_f
// frames after the clock; a pulse then moves the clock to its end frame, any other record to
// its own position. Since dur_f is zero in every record that is not a pulse, the clock after
// a record is simply the running total of ipd_f + dur_f, and a pulse ends where that total
// stands after it. So a record's ipd_f counts from the end of the last pulse, or from the
// last non-pulse record.
//
// Each piece takes up to three passes over lists that stay in cache:
//   1. a scalar pass runs the clock and lists the pulse records with their end frames;
//   2. with a filter, the listed pulses are checked eight at a time and the list is cut down
//      to the kept ones (three numbers per pulse are moved, not sixteen columns);
//   3. the listed records are decoded eight at a time straight into the result columns.
#pragma once

#include "pulse_filter/lane_filter.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/records/pulse_columns.hpp"
#include "pulse_reader/records/record_lanes.hpp"

#include <cstdint>
#include <optional>

namespace zpr {

// The kept pulses of one aperture reduced to running totals, added in row order: the count,
// the sums of five columns as float64 (each value converted exactly), and the first pulse's
// start_f and the last pulse's end_f.
//
// ipd_f is summed over the pulses after the first: the first pulse's ipd_f is no gap between
// two pulses (unfiltered it is 0). snr, intensity and binratio are summed over their finite
// values only, each with its own count: one saturated measurement (an infinite quotient, or
// NaN where infinities meet) would otherwise make the aperture's mean meaningless.
struct PulseSums {
    uint64_t pulses = 0;
    double dur_f = 0, ipd_f = 0, snr = 0, intensity = 0, binratio = 0;
    uint64_t finite_snr = 0, finite_intensity = 0, finite_binratio = 0;
    // Pulses with a non-finite snr, intensity or binratio.
    uint64_t nonfinite = 0;
    uint32_t first_start_f = 0, last_end_f = 0;
};

class PulseBuilder {
public:
    // Writes pulses of aperture `aperture` into `out` from row `first_row` on, into room its
    // caller has reserved (one row per record at most); it never changes the columns' sizes,
    // so that two builders can fill two parts of the same columns at once. `filter` may be
    // null: every pulse is kept.
    PulseBuilder(float fps, const LaneDecoder& decoder, const PulseFilter* filter, PulseColumns& out,
                 std::size_t first_row, uint64_t aperture)
        : fps_(fps), decoder_(decoder), out_(out), row_(first_row), aperture_(aperture) {
        if (filter != nullptr) {
            filter_.emplace(*filter, fps);
            recalc_ipd_ = filter->recalc_ipd;
        }
    }

    // Starts on the records of `aperture`, from the first, writing on from the row reached:
    // one builder serves many apertures one after the other.
    void start_aperture(uint64_t aperture) {
        aperture_ = aperture;
        clock_ = last_end_ = last_written_end_ = 0;
        any_pulse_ = any_written_ = false;
    }

    // Writes the (kept) pulses among the `count` raw records at `bytes`, the next records of
    // the aperture; the first of them is record `first_position`. With a filter, throws
    // Error kUnsortedPulsesMessage when a pulse does not start after the previous pulse's end.
    void append(const uint8_t* bytes, std::size_t count, uint64_t first_position);
    // Like append, but adds the (kept) pulses to `sums` instead of writing them.
    void add_to_sums(const uint8_t* bytes, std::size_t count, PulseSums& sums);
    // Runs the frame clock over the next `count` records without writing their pulses, but
    // leaving a row for each. Unfiltered, the builder then carries on exactly as if it had
    // written them; filtered, no pulse counts as written yet (see last_written_end).
    void skip(const uint8_t* bytes, std::size_t count);

    // Pulses are decoded eight at a time, and by default a last, partly filled group is
    // decoded aside so that its unused lanes write no row past the builder's own. Rows below
    // `row_limit` that the builder has not reached are its own to write over (the next
    // pulses take them, or they lie past the result): a partial group that fits below the
    // limit is then written in place, which saves a copy per aperture on many small ones.
    void write_freely_below(std::size_t row_limit) { row_limit_ = row_limit; }
    // The row the next pulse goes to.
    std::size_t row() const { return row_; }
    // The end frame of the last pulse written, if any: with recalc_ipd, the first pulse of
    // a builder that skipped records counts from this end of the builder before it.
    bool any_written() const { return any_written_; }
    uint32_t last_written_end() const { return last_written_end_; }

private:
    // Passes 1 and 2: lists the pulses of the piece that are kept; returns how many.
    std::size_t list_kept(const uint8_t* bytes, std::size_t count);
    // Pass 1: lists the pulse records of the piece; returns how many.
    std::size_t list_pulses(const uint8_t* bytes, std::size_t count);
    // The passes below are compiled twice and must not throw (see ZPR_ALSO_FOR_AVX2): their
    // callers reserve the room they fill and report their failures.
    //
    // Pass 2: keeps the listed pulses that pass the filter, with the end of the pulse before
    // each (for ipd_f), in room for found + kLanes entries; returns how many, or nothing when
    // a pulse does not start after the previous pulse's end.
    ZPR_ALSO_FOR_AVX2 std::optional<std::size_t> keep_filtered(const uint8_t* bytes, std::size_t found) noexcept;
    // Pass 3: decodes the first `listed` listed pulses into the rows from row_ on.
    ZPR_ALSO_FOR_AVX2 void emit(const uint8_t* bytes, std::size_t listed, uint64_t first_position) noexcept;
    // Pass 3 for a summary: adds the first `listed` listed pulses to `sums`.
    ZPR_ALSO_FOR_AVX2 void sum(const uint8_t* bytes, std::size_t listed, PulseSums& sums) noexcept;
    // The end each listed pulse's ipd_f counts from, entry by entry.
    const uint32_t* ends_before(const uint8_t* bytes) noexcept;
    // Counts `listed` pulses as written, the last ending at `last_end`.
    void count_written(std::size_t listed, uint32_t last_end) noexcept;

    float fps_;
    const LaneDecoder& decoder_;
    std::optional<LaneFilter> filter_;
    bool recalc_ipd_ = false;
    PulseColumns& out_;
    std::size_t row_;
    std::size_t row_limit_ = 0;
    uint64_t aperture_;
    uint32_t clock_ = 0;
    // End frame of the last pulse of the aperture so far, kept or not (the order check's
    // "previous end" starts at frame 0).
    uint32_t last_end_ = 0;
    bool any_pulse_ = false;
    // End frame of the last pulse written out, for ipd_f.
    uint32_t last_written_end_ = 0;
    bool any_written_ = false;
    // Per piece: each listed pulse's record number within the piece, and its end frame one
    // place further on, behind the end of the pulse before the piece (so that the ends of
    // eight pulses and of the eight before them are both a plain load). Filtered, each kept
    // pulse also lists the end its ipd_f counts from.
    // Column memory, so that the lists of one query are kept for the next.
    Column<uint32_t> rows_;
    Column<uint32_t> ends_;
    Column<uint32_t> ends_before_;
};

}  // namespace zpr

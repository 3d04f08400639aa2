#include "pulse_reader/records/pulse_builder.hpp"

#include "error.hpp"
#include "pulse_reader/records/raw_record.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

namespace zpr {

using namespace simd;

namespace {

// The records listed at `rows[0..8)`, side by side.
__attribute__((always_inline)) inline RecordLanes gather(const uint8_t* bytes, const uint32_t* rows) {
    std::array<u16x8, 8> loaded;
    for (std::size_t lane = 0; lane < kLanes; ++lane)
        loaded[lane] = load<u16x8>(bytes + std::size_t(rows[lane]) * kRecordSize);
    return RecordLanes::transpose(loaded);
}

// The frame quantities of the listed pulses j to j + 8, with their records side by side.
struct GroupFrames {
    RecordLanes lanes;
    u32x8 start, end, dur, ipd;

    // `ends[i]` is listed pulse i's end, `ends_before[i]` the end its ipd_f counts from.
    __attribute__((always_inline)) static GroupFrames at(const uint8_t* bytes, const uint32_t* rows,
                                                         const uint32_t* ends, const uint32_t* ends_before,
                                                         std::size_t j) {
        GroupFrames g{gather(bytes, rows + j), {}, load<u32x8>(ends + j), {}, {}};
        g.dur = __builtin_convertvector(g.lanes.words[1], u32x8);
        g.start = g.end - g.dur;
        g.ipd = g.start - load<u32x8>(ends_before + j);
        return g;
    }
};

}  // namespace

void PulseBuilder::append(const uint8_t* bytes, std::size_t count, uint64_t first_position) {
    const std::size_t listed = list_kept(bytes, count);
    if (listed > 0) emit(bytes, listed, first_position);
}

void PulseBuilder::add_to_sums(const uint8_t* bytes, std::size_t count, PulseSums& sums) {
    const std::size_t listed = list_kept(bytes, count);
    if (listed > 0) sum(bytes, listed, sums);
}

std::size_t PulseBuilder::list_kept(const uint8_t* bytes, std::size_t count) {
    rows_.make_room(count + kLanes);
    ends_.make_room(1 + count + kLanes);
    const std::size_t found = list_pulses(bytes, count);
    if (found == 0) return 0;
    const uint32_t last_end = ends_[found];
    std::size_t listed = found;
    if (filter_) {
        ends_before_.make_room(found + kLanes);
        const std::optional<std::size_t> kept = keep_filtered(bytes, found);
        if (!kept) throw Error(kUnsortedPulsesMessage);
        listed = *kept;
    }
    last_end_ = last_end;
    any_pulse_ = true;
    return listed;
}

std::size_t PulseBuilder::list_pulses(const uint8_t* bytes, std::size_t count) {
    // Every record is listed and only a pulse advances the list, so nothing branches on kind.
    uint32_t clock = clock_;
    std::size_t found = 0;
    ends_[0] = last_end_;
    for (std::size_t i = 0; i < count; ++i) {
        const RawRecord record = RawRecord::from_bytes(bytes + i * kRecordSize);
        clock += uint32_t(record.words[0]) + record.words[1];
        rows_[found] = uint32_t(i);
        ends_[found + 1] = clock;
        found += record.words[1] != 0;
    }
    clock_ = clock;
    // Lanes past the last pulse of the piece decode record 0, harmlessly.
    std::fill_n(rows_.data() + found, kLanes, 0u);
    return found;
}

ZPR_ALSO_FOR_AVX2 std::optional<std::size_t> PulseBuilder::keep_filtered(const uint8_t* bytes,
                                                                        std::size_t found) noexcept {
    const f32x8 fps = splat<f32x8>(fps_);
    const i16x8 every_lane = splat<i16x8>(int16_t(-1));
    // Local copies, which the stores to the lists below cannot be taken to change.
    const LaneDecoder decoder = decoder_;
    const LaneFilter filter = *filter_;
    const bool uses_intensity = filter.uses_snr() || filter.uses_intensity() || filter.uses_binratio();
    const bool recalc = recalc_ipd_;
    bool any_pulse = any_pulse_;
    uint32_t kept_end = last_written_end_;
    bool any_kept = any_written_;
    std::size_t kept = 0;
    for (std::size_t j = 0; j < found; j += kLanes) {
        const RecordLanes lanes = gather(bytes, &rows_[j]);
        // The list is cut down in place below; entries j on are still as listed, and so is
        // the end before them (rewritten, if at all, with its own value).
        const u32x8 end = load<u32x8>(&ends_[j + 1]);
        const u32x8 end_before = load<u32x8>(&ends_[j]);
        const u32x8 dur = __builtin_convertvector(lanes.words[1], u32x8);
        const u32x8 start = end - dur;
        const std::size_t lanes_here = std::min(kLanes, found - j);

        // Every pulse, dropped or not, must start after the previous one's end (the first
        // pulse after frame 0).
        const LaneMask unsorted = compare(start, end_before, std::less_equal<>());
        if ((unsorted & first_lanes(lanes_here)).any()) return std::nullopt;

        // Only the quantities the criteria look at are worked out.
        PulseLanes p{};
        p.start_f = start;
        p.end_f = end;
        p.dur_f = dur;
        if (filter.uses_dur_s()) p.dur_s = __builtin_convertvector(i32x8(dur), f32x8) / fps;  // dur_f < 2^16
        if (uses_intensity) {
            p.intensity = decoder.value(lanes, 3, every_lane);
            if (filter.uses_snr()) p.snr = p.intensity / decoder.value(lanes, 7, every_lane);
            if (filter.uses_binratio()) p.binratio = decoder.value(lanes, 2, every_lane) / p.intensity;
        }
        const LaneMask keep = filter.keeps(p);

        // Cut the list down to the kept pulses, each with the end its ipd_f counts from: the
        // pulse before it, or with recalc_ipd the kept pulse before it. A first pulse counts
        // from its own start, so that its ipd_f is 0.
        if (lanes_here == kLanes && keep.all() && any_pulse && (any_kept || !recalc)) {
            // The common case, all eight kept: whole vectors move (loaded before stored, so
            // an overlapping move to the front is safe), and every pulse counts from the one
            // before it, the first from the pulse (or kept pulse) before the group.
            store(&rows_[kept], load<u32x8>(&rows_[j]));
            store(&ends_[kept + 1], end);
            store(&ends_before_[kept], end_before);
            if (recalc) ends_before_[kept] = kept_end;
            kept_end = end[kLanes - 1];
            kept += kLanes;
            continue;
        }
        // The verdicts copied out once: picking lanes of the mask itself by a varying index
        // would keep the mask in memory through all of the filter's steps above.
        const std::array<int32_t, kLanes> verdicts = keep.lanes();
        for (std::size_t lane = 0; lane < lanes_here; ++lane) {
            const uint32_t own_start = start[lane];
            const uint32_t pulse_before = any_pulse ? end_before[lane] : own_start;
            const uint32_t kept_before = any_kept ? kept_end : own_start;
            any_pulse = true;
            // Every pulse is written to the next free entry, which advances only when the
            // pulse is kept: no branch on the filter's verdict.
            rows_[kept] = rows_[j + lane];
            ends_[kept + 1] = end[lane];
            ends_before_[kept] = recalc ? kept_before : pulse_before;
            const bool keeps = verdicts[lane] != 0;
            kept_end = keeps ? end[lane] : kept_end;
            any_kept |= keeps;
            kept += keeps;
        }
    }
    std::fill_n(rows_.data() + kept, kLanes, 0u);
    return kept;
}

namespace {

// Where one group of eight pulses goes: the first of its rows in every column.
struct PulseRowPointers {
    uint64_t *index, *aperture_index;
    uint32_t *start_f, *end_f, *dur_f;
    float* dur_s;
    uint32_t* ipd_f;
    float *ipd_s, *snr, *intensity, *bin0_intensity, *intensity_display, *binratio, *bg_mean, *bg_std,
        *bin0_bg_mean, *bin0_bg_std;

    static PulseRowPointers at(PulseColumns& p, std::size_t row) {
        return {p.index.data() + row,
                p.aperture_index.data() + row,
                p.start_f() + row,
                p.end_f() + row,
                p.dur_f() + row,
                p.dur_s() + row,
                p.ipd_f() + row,
                p.ipd_s() + row,
                p.snr() + row,
                p.intensity() + row,
                p.bin0_intensity() + row,
                p.intensity_display() + row,
                p.binratio() + row,
                p.bg_mean() + row,
                p.bg_std() + row,
                p.bin0_bg_mean() + row,
                p.bin0_bg_std() + row};
    }

    // Copies the first `count` values of every column of `from` here.
    void copy_from(const PulseRowPointers& from, std::size_t count) const {
        auto copy = [&](auto* to, const auto* values) { std::copy_n(values, count, to); };
        copy(index, from.index);
        copy(aperture_index, from.aperture_index);
        copy(start_f, from.start_f);
        copy(end_f, from.end_f);
        copy(dur_f, from.dur_f);
        copy(dur_s, from.dur_s);
        copy(ipd_f, from.ipd_f);
        copy(ipd_s, from.ipd_s);
        copy(snr, from.snr);
        copy(intensity, from.intensity);
        copy(bin0_intensity, from.bin0_intensity);
        copy(intensity_display, from.intensity_display);
        copy(binratio, from.binratio);
        copy(bg_mean, from.bg_mean);
        copy(bg_std, from.bg_std);
        copy(bin0_bg_mean, from.bin0_bg_mean);
        copy(bin0_bg_std, from.bin0_bg_std);
    }
};

// One group of pulses in local storage, for the last, partly filled group of a piece: its
// unused lanes must not spill into rows past the builder's own.
struct PulseGroup {
    uint64_t index[kLanes], aperture_index[kLanes];
    uint32_t start_f[kLanes], end_f[kLanes], dur_f[kLanes];
    float dur_s[kLanes];
    uint32_t ipd_f[kLanes];
    float ipd_s[kLanes], snr[kLanes], intensity[kLanes], bin0_intensity[kLanes], intensity_display[kLanes],
        binratio[kLanes], bg_mean[kLanes], bg_std[kLanes], bin0_bg_mean[kLanes], bin0_bg_std[kLanes];

    PulseRowPointers pointers() {
        return {index,     aperture_index, start_f,           end_f,    dur_f,   dur_s,  ipd_f,        ipd_s,
                snr,       intensity,      bin0_intensity,    intensity_display, binratio, bg_mean, bg_std,
                bin0_bg_mean, bin0_bg_std};
    }
};

}  // namespace

ZPR_ALSO_FOR_AVX2 void PulseBuilder::emit(const uint8_t* bytes, std::size_t listed, uint64_t first_position) noexcept {
    const f32x8 fps = splat<f32x8>(fps_);
    const u64x8 aperture = splat<u64x8>(aperture_);
    const i16x8 every_lane = splat<i16x8>(int16_t(-1));  // all six measurement words are scaled
    // A local copy, which the stores to the columns below cannot be taken to change.
    const LaneDecoder decoder = decoder_;
    const uint32_t* const ends = &ends_[1];
    const uint32_t* const ends_before = this->ends_before(bytes);
    // Inlined into both loops below: called, each group would pay for a frame that holds a
    // few hundred bytes of vectors.
    auto emit_group = [&](std::size_t j, const PulseRowPointers& out) __attribute__((always_inline)) {
        const auto [lanes, start, end, dur, ipd] = GroupFrames::at(bytes, rows_.data(), ends, ends_before, j);
        const u32x8 row = load<u32x8>(&rows_[j]);
        store(out.index, __builtin_convertvector(row, u64x8) + first_position);
        store(out.aperture_index, aperture);
        store(out.start_f, start);
        store(out.end_f, end);
        store(out.dur_f, dur);
        store(out.dur_s, __builtin_convertvector(i32x8(dur), f32x8) / fps);  // dur_f < 2^16
        store(out.ipd_f, ipd);
        store(out.ipd_s, to_float(ipd) / fps);

        const f32x8 bin0_intensity = decoder.value(lanes, 2, every_lane);
        const f32x8 bin1_intensity = decoder.value(lanes, 3, every_lane);
        const f32x8 bin1_bg_mean = decoder.value(lanes, 5, every_lane);
        const f32x8 bin1_bg_std = decoder.value(lanes, 7, every_lane);
        store(out.snr, bin1_intensity / bin1_bg_std);
        store(out.intensity, bin1_intensity);
        store(out.bin0_intensity, bin0_intensity);
        store(out.intensity_display, bin1_intensity + bin1_bg_mean);
        store(out.binratio, bin0_intensity / bin1_intensity);
        store(out.bg_mean, bin1_bg_mean);
        store(out.bg_std, bin1_bg_std);
        store(out.bin0_bg_mean, decoder.value(lanes, 4, every_lane));
        store(out.bin0_bg_std, decoder.value(lanes, 6, every_lane));
    };
    const std::size_t whole = listed / kLanes * kLanes;
    for (std::size_t j = 0; j < whole; j += kLanes) emit_group(j, PulseRowPointers::at(out_, row_ + j));
    if (whole < listed) {
        // One call for either place, so that the group stays inlined here.
        PulseGroup last;
        const bool in_place = row_ + whole + kLanes <= row_limit_;
        emit_group(whole, in_place ? PulseRowPointers::at(out_, row_ + whole) : last.pointers());
        if (!in_place) PulseRowPointers::at(out_, row_ + whole).copy_from(last.pointers(), listed - whole);
    }
    count_written(listed, ends[listed - 1]);
}

namespace {

using f64x4 = double __attribute__((vector_size(32)));

// Four columns of a group of eight pulses turned into eight rows: row k holds pulse k's
// values of a, b, c and d. Adding the rows in turn to one vector of four totals adds each
// column in row order, one lane per column, with the same float64 additions (and results)
// as four separate sequential sums, but one addition per pulse instead of four.
__attribute__((always_inline)) inline std::array<f64x4, kLanes> rows_of(f64x8 a, f64x8 b, f64x8 c, f64x8 d) {
    std::array<f64x4, kLanes> rows;
    auto half = [](f64x8 v, std::size_t h) __attribute__((always_inline)) {
        return h == 0 ? __builtin_shufflevector(v, v, 0, 1, 2, 3) : __builtin_shufflevector(v, v, 4, 5, 6, 7);
    };
    for (std::size_t h = 0; h < 2; ++h) {
        const f64x4 ha = half(a, h), hb = half(b, h), hc = half(c, h), hd = half(d, h);
        const f64x4 ab_even = __builtin_shufflevector(ha, hb, 0, 4, 2, 6), ab_odd = __builtin_shufflevector(ha, hb, 1, 5, 3, 7);
        const f64x4 cd_even = __builtin_shufflevector(hc, hd, 0, 4, 2, 6), cd_odd = __builtin_shufflevector(hc, hd, 1, 5, 3, 7);
        rows[4 * h + 0] = __builtin_shufflevector(ab_even, cd_even, 0, 1, 4, 5);
        rows[4 * h + 1] = __builtin_shufflevector(ab_odd, cd_odd, 0, 1, 4, 5);
        rows[4 * h + 2] = __builtin_shufflevector(ab_even, cd_even, 2, 3, 6, 7);
        rows[4 * h + 3] = __builtin_shufflevector(ab_odd, cd_odd, 2, 3, 6, 7);
    }
    return rows;
}

}  // namespace

ZPR_ALSO_FOR_AVX2 void PulseBuilder::sum(const uint8_t* bytes, std::size_t listed, PulseSums& sums) noexcept {
    const i16x8 every_lane = splat<i16x8>(int16_t(-1));
    const LaneDecoder decoder = decoder_;
    const uint32_t* const ends = &ends_[1];
    const uint32_t* const ends_before = this->ends_before(bytes);
    // Each total is a chain of additions in row order, as a sequential sum of the column
    // would add them: dur_f, ipd_f, snr and intensity in the lanes of one vector, binratio
    // on its own. A value left out of a total is added as 0, which leaves the total as it is.
    PulseSums total = sums;
    f64x4 four = {total.dur_f, total.ipd_f, total.snr, total.intensity};
    double binratio_total = total.binratio;
    for (std::size_t j = 0; j < listed; j += kLanes) {
        const GroupFrames g = GroupFrames::at(bytes, rows_.data(), ends, ends_before, j);
        const std::size_t lanes = std::min(kLanes, listed - j);
        f32x8 intensity = decoder.value(g.lanes, 3, every_lane);
        f32x8 snr = intensity / decoder.value(g.lanes, 7, every_lane);
        f32x8 binratio = decoder.value(g.lanes, 2, every_lane) / intensity;
        u32x8 ipd = g.ipd;
        if (total.pulses == 0 && j == 0) {
            total.first_start_f = g.start[0];
            ipd[0] = 0;  // the aperture's first pulse: no gap
        }
        // x - x is 0 for a finite x and NaN otherwise: one comparison finds the (rare) groups
        // with any non-finite value among their pulses.
        const f32x8 probe = (snr - snr) + (intensity - intensity) + (binratio - binratio);
        const LaneMask nonfinite = compare(probe, splat<f32x4>(0.0f), std::not_equal_to<>()) & first_lanes(lanes);
        if (!nonfinite.any()) {
            total.finite_snr += lanes;
            total.finite_intensity += lanes;
            total.finite_binratio += lanes;
        } else {
            auto keep_finite = [&](f32x8& values, uint64_t& finite, std::size_t lane) {
                const bool is_finite = std::isfinite(values[lane]);
                finite += is_finite;
                if (!is_finite) values[lane] = 0.0f;
                return is_finite;
            };
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const bool snr_finite = keep_finite(snr, total.finite_snr, lane);
                const bool intensity_finite = keep_finite(intensity, total.finite_intensity, lane);
                const bool binratio_finite = keep_finite(binratio, total.finite_binratio, lane);
                total.nonfinite += !(snr_finite && intensity_finite && binratio_finite);
            }
        }
        const std::array<f64x4, kLanes> rows =
            rows_of(__builtin_convertvector(g.dur, f64x8), __builtin_convertvector(ipd, f64x8),
                    __builtin_convertvector(snr, f64x8), __builtin_convertvector(intensity, f64x8));
        const f64x8 binratio_wide = __builtin_convertvector(binratio, f64x8);
        auto add_lanes = [&](std::size_t count) __attribute__((always_inline)) {
            for (std::size_t lane = 0; lane < count; ++lane) {
                four += rows[lane];
                binratio_total += binratio_wide[lane];
            }
        };
        // A whole group with a fixed count, which the compiler unrolls.
        if (lanes == kLanes)
            add_lanes(kLanes);
        else
            add_lanes(lanes);
    }
    total.dur_f = four[0];
    total.ipd_f = four[1];
    total.snr = four[2];
    total.intensity = four[3];
    total.binratio = binratio_total;
    total.pulses += listed;
    total.last_end_f = ends[listed - 1];
    sums = total;
    count_written(listed, ends[listed - 1]);
}

const uint32_t* PulseBuilder::ends_before(const uint8_t* bytes) noexcept {
    // Filtered, the end was listed with the pulse. Unfiltered, it is the end of the pulse
    // before, listed just before the pulse's own; the first pulse of the aperture counts from
    // its own start, so that its ipd_f is 0.
    if (filter_) return ends_before_.data();
    if (!any_written_) ends_[0] = ends_[1] - RawRecord::from_bytes(bytes + rows_[0] * kRecordSize).words[1];
    return ends_.data();
}

void PulseBuilder::count_written(std::size_t listed, uint32_t last_end) noexcept {
    row_ += listed;
    last_written_end_ = last_end;
    any_written_ = true;
}

void PulseBuilder::skip(const uint8_t* bytes, std::size_t count) {
    uint32_t clock = clock_;
    uint32_t last_end = last_end_;
    std::size_t pulses = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const RawRecord record = RawRecord::from_bytes(bytes + i * kRecordSize);
        clock += uint32_t(record.words[0]) + record.words[1];
        const bool is_pulse = record.words[1] != 0;
        last_end = is_pulse ? clock : last_end;
        pulses += is_pulse;
    }
    clock_ = clock;
    last_end_ = last_end;
    any_pulse_ = any_pulse_ || pulses > 0;
    row_ += pulses;
    if (!filter_) {
        last_written_end_ = last_end_;
        any_written_ = any_pulse_;
    }
}

}  // namespace zpr

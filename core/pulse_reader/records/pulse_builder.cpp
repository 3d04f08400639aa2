#include "pulse_reader/records/pulse_builder.hpp"

#include "pulse_reader/records/raw_record.hpp"

namespace zpr {

namespace {

// Exact unsigned 32-bit to float conversion: both halves convert exactly and the one
// addition rounds, as a scalar conversion does. Baseline x86-64 only converts signed lanes.
f32x8 to_float(u32x8 value) {
    const f32x8 high = __builtin_convertvector(simd::i32x8(value >> 16), f32x8);
    const f32x8 low = __builtin_convertvector(simd::i32x8(value & 0xFFFF), f32x8);
    return high * 65536.0f + low;
}

}  // namespace

void PulseBuilder::append(const uint8_t* bytes, std::size_t count, uint64_t first_position, PulseColumns& pulses) {
    using namespace simd;
    // Pass 1: run the clock; list every pulse record and the clock after it, its end frame.
    // Every record is listed and only a pulse advances the list, so nothing branches on kind.
    pulse_rows_.resize(count + kLanes);
    pulse_ends_.resize(count + kLanes);
    uint32_t clock = clock_;
    std::size_t found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const RawRecord record = RawRecord::from_bytes(bytes + i * kRecordSize);
        clock += uint32_t(record.words[0]) + record.words[1];
        pulse_rows_[found] = uint32_t(i);
        pulse_ends_[found] = clock;
        found += record.words[1] != 0;
    }
    clock_ = clock;
    if (found == 0) return;
    // Lanes past the last pulse of the piece decode record 0, harmlessly.
    std::fill_n(pulse_rows_.begin() + found, kLanes, 0u);
    if (!have_previous_) {
        // The first pulse of the aperture has no previous pulse: its ipd_f is 0, as if the
        // previous pulse had ended where this one starts.
        previous_end_ = pulse_ends_[0] - RawRecord::from_bytes(bytes + pulse_rows_[0] * kRecordSize).words[1];
        have_previous_ = true;
    }

    // Pass 2: decode the listed records eight at a time, straight into the columns.
    pulses.reserve_more((found + kLanes - 1) / kLanes * kLanes);
    uint64_t* const out_index = pulses.index.unfilled();
    uint32_t* const out_start_f = pulses.start_f.unfilled();
    uint32_t* const out_end_f = pulses.end_f.unfilled();
    uint32_t* const out_dur_f = pulses.dur_f.unfilled();
    float* const out_dur_s = pulses.dur_s.unfilled();
    uint32_t* const out_ipd_f = pulses.ipd_f.unfilled();
    float* const out_ipd_s = pulses.ipd_s.unfilled();
    float* const out_snr = pulses.snr.unfilled();
    float* const out_intensity = pulses.intensity.unfilled();
    float* const out_bin0_intensity = pulses.bin0_intensity.unfilled();
    float* const out_intensity_display = pulses.intensity_display.unfilled();
    float* const out_binratio = pulses.binratio.unfilled();
    float* const out_bg_mean = pulses.bg_mean.unfilled();
    float* const out_bg_std = pulses.bg_std.unfilled();
    float* const out_bin0_bg_mean = pulses.bin0_bg_mean.unfilled();
    float* const out_bin0_bg_std = pulses.bin0_bg_std.unfilled();

    const f32x8 fps = splat<f32x8>(fps_);
    const i16x8 every_lane = splat<i16x8>(int16_t(-1));  // all six measurement words are scaled
    uint32_t previous_end = previous_end_;
    for (std::size_t j = 0; j < found; j += kLanes) {
        std::array<u16x8, 8> rows;
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            rows[lane] = load<u16x8>(bytes + std::size_t(pulse_rows_[j + lane]) * kRecordSize);
        const RecordLanes lanes = RecordLanes::transpose(rows);

        const u32x8 row = load<u32x8>(&pulse_rows_[j]);
        store(out_index + j, __builtin_convertvector(row, u64x8) + first_position);
        const u32x8 end = load<u32x8>(&pulse_ends_[j]);
        const u32x8 dur = __builtin_convertvector(lanes.words[1], u32x8);
        const u32x8 start = end - dur;
        // Each lane's previous pulse ended where the lane before it ends.
        const u32x8 ends_before = __builtin_shufflevector(end, splat<u32x8>(previous_end), 8, 0, 1, 2, 3, 4, 5, 6);
        const u32x8 ipd = start - ends_before;
        previous_end = end[kLanes - 1];
        store(out_start_f + j, start);
        store(out_end_f + j, end);
        store(out_dur_f + j, dur);
        store(out_dur_s + j, __builtin_convertvector(simd::i32x8(dur), f32x8) / fps);  // dur_f < 2^16
        store(out_ipd_f + j, ipd);
        store(out_ipd_s + j, to_float(ipd) / fps);

        const f32x8 bin0_intensity = decoder_.value(lanes, 2, every_lane);
        const f32x8 bin1_intensity = decoder_.value(lanes, 3, every_lane);
        const f32x8 bin1_bg_mean = decoder_.value(lanes, 5, every_lane);
        const f32x8 bin1_bg_std = decoder_.value(lanes, 7, every_lane);
        store(out_snr + j, bin1_intensity / bin1_bg_std);
        store(out_intensity + j, bin1_intensity);
        store(out_bin0_intensity + j, bin0_intensity);
        store(out_intensity_display + j, bin1_intensity + bin1_bg_mean);
        store(out_binratio + j, bin0_intensity / bin1_intensity);
        store(out_bg_mean + j, bin1_bg_mean);
        store(out_bg_std + j, bin1_bg_std);
        store(out_bin0_bg_mean + j, decoder_.value(lanes, 4, every_lane));
        store(out_bin0_bg_std + j, decoder_.value(lanes, 6, every_lane));
    }
    previous_end_ = pulse_ends_[found - 1];
    pulses.mark_filled(found);
}

}  // namespace zpr

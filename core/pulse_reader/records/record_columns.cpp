#include "pulse_reader/records/record_columns.hpp"

#include <bit>

namespace zpr {

namespace {

constexpr double kAbsent = std::bit_cast<double>(uint64_t(0x7FF8000000000000));
constexpr uint64_t kTwoTo52Bits = 0x4330000000000000;  // the bits of 2.0^52
constexpr double kTwoTo52 = 4503599627370496.0;

// Visits every column with its element type.
template <class Visit>
void for_each_column(RecordColumns& r, Visit&& visit) {
    visit(r.ipd_f);
    visit(r.dur_f);
    visit(r.bin0_intensity);
    visit(r.bin1_intensity);
    visit(r.bin0_bg_mean);
    visit(r.bin1_bg_mean);
    visit(r.bin0_bg_std);
    visit(r.bin1_bg_std);
    visit(r.start_f);
    visit(r.record_type);
    visit(r.long_pulse_duration_f);
    visit(r.event_f);
}

// Decoding writes whole groups of eight, so room is made for whole groups.
std::size_t whole_groups(std::size_t count) { return (count + simd::kLanes - 1) / simd::kLanes * simd::kLanes; }

}  // namespace

void RecordColumns::reserve(std::size_t count) {
    for_each_column(*this, [&](auto& column) { column.reserve(whole_groups(count)); });
}

void RecordColumns::append_decoded(const uint8_t* bytes, std::size_t count, const LaneDecoder& decoder) {
    using namespace simd;
    const std::size_t first = size();
    // The last group writes whole vectors; lanes past `count` land in spare capacity.
    for_each_column(*this, [&](auto& column) { column.reserve_more(whole_groups(count)); });
    uint32_t running_start = first > 0 ? start_f[first - 1] : 0;
    // Plain pointers: the byte-sized record_type stores could otherwise alias the columns'
    // own bookkeeping and force it to be reloaded after every store.
    uint16_t* const out_ipd_f = ipd_f.unfilled();
    uint16_t* const out_dur_f = dur_f.unfilled();
    float* const out_bin0_intensity = bin0_intensity.unfilled();
    float* const out_bin1_intensity = bin1_intensity.unfilled();
    float* const out_bin0_bg_mean = bin0_bg_mean.unfilled();
    float* const out_bin1_bg_mean = bin1_bg_mean.unfilled();
    float* const out_bin0_bg_std = bin0_bg_std.unfilled();
    float* const out_bin1_bg_std = bin1_bg_std.unfilled();
    uint32_t* const out_start_f = start_f.unfilled();
    FormattedRecordType* const out_record_type = record_type.unfilled();
    double* const out_long_pulse_duration_f = long_pulse_duration_f.unfilled();
    double* const out_event_f = event_f.unfilled();

    const f64x8 absent = splat<f64x8>(kAbsent);
    for (std::size_t i = 0; i < count; i += kLanes) {
        const RecordLanes lanes = RecordLanes::load(bytes + i * kRecordSize);
        const LaneKinds kinds(lanes);
        store(out_ipd_f + i, lanes.words[0]);
        store(out_dur_f + i, lanes.words[1]);  // zero in every record that is not a pulse
        const i16x8 intensities = kinds.scaled_intensities(), background = kinds.scaled_background();
        store(out_bin0_intensity + i, decoder.value(lanes, 2, intensities));
        store(out_bin1_intensity + i, decoder.value(lanes, 3, intensities));
        store(out_bin0_bg_mean + i, decoder.value(lanes, 4, background));
        store(out_bin1_bg_mean + i, decoder.value(lanes, 5, background));
        store(out_bin0_bg_std + i, decoder.value(lanes, 6, background));
        store(out_bin1_bg_std + i, decoder.value(lanes, 7, background));
        store(out_record_type + i, __builtin_convertvector(kinds.codes(), u8x8));

        // Running total within the group (three doubling steps), then the total so far.
        u32x8 total = __builtin_convertvector(lanes.words[0], u32x8);
        total += __builtin_shufflevector(total, u32x8{}, 8, 0, 1, 2, 3, 4, 5, 6);
        total += __builtin_shufflevector(total, u32x8{}, 8, 8, 0, 1, 2, 3, 4, 5);
        total += __builtin_shufflevector(total, u32x8{}, 8, 8, 8, 8, 0, 1, 2, 3);
        total += running_start;
        store(out_start_f + i, total);
        running_start = total[kLanes - 1];

        // The wide value as a double where the kind has one (exactly: 2^52 + value, less
        // 2^52), the quiet NaN elsewhere.
        const f64x8 wide = f64x8(__builtin_convertvector(lanes.wide_value(), u64x8) | kTwoTo52Bits) - kTwoTo52;
        store(out_long_pulse_duration_f + i, select(widen_to_64(kinds.long_pulse()), wide, absent));
        store(out_event_f + i, select(widen_to_64(kinds.step()), wide, absent));
    }
    for_each_column(*this, [&](auto& column) { column.mark_filled(count); });
}

}  // namespace zpr

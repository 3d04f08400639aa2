#include "pulse_reader/records/record_columns.hpp"

#include <algorithm>
#include <bit>

namespace zpr {

namespace {

constexpr double kAbsent = std::bit_cast<double>(uint64_t(0x7FF8000000000000));
constexpr uint64_t kTwoTo52Bits = 0x4330000000000000;  // the bits of 2.0^52
constexpr double kTwoTo52 = 4503599627370496.0;

// Decoding writes whole groups of eight, so room is made for whole groups.
std::size_t whole_groups(std::size_t count) { return (count + simd::kLanes - 1) / simd::kLanes * simd::kLanes; }

// Copies rows [0, count) of every column of `from` to the rows from `row` on of `to`.
void copy_rows(const RecordColumns& from, RecordColumns& to, std::size_t count, std::size_t row) {
    auto copy = [&](const auto* source, auto* target) { std::copy_n(source, count, target + row); };
    for (std::size_t k = 0; k < 2; ++k) copy(from.words.column(k), to.words.column(k));
    for (std::size_t k = 0; k < 6; ++k) copy(from.values.column(k), to.values.column(k));
    copy(from.start_f.data(), to.start_f.data());
    copy(from.record_type.data(), to.record_type.data());
    for (std::size_t k = 0; k < 2; ++k) copy(from.wide_values.column(k), to.wide_values.column(k));
}

}  // namespace

void RecordColumns::reserve(std::size_t count, Pages pages) {
    const std::size_t rows = whole_groups(count);
    words.reserve(rows, pages);
    values.reserve(rows, pages);
    start_f.reserve(rows, pages);
    record_type.reserve(rows, pages);
    wide_values.reserve(rows, pages);
}

void RecordColumns::mark_filled(std::size_t count) {
    // The blocks' columns have as many rows as these two.
    start_f.mark_filled(count);
    record_type.mark_filled(count);
}

uint32_t RecordColumns::decode_exactly_into(const uint8_t* bytes, std::size_t count, std::size_t row,
                                            uint32_t running_start, const LaneDecoder& decoder) {
    const std::size_t whole = count / simd::kLanes * simd::kLanes;
    running_start = decode_into(bytes, whole, row, running_start, decoder);
    if (whole == count) return running_start;
    RecordColumns aside;
    aside.reserve(count - whole);
    running_start = aside.decode_into(bytes + whole * kRecordSize, count - whole, 0, running_start, decoder);
    copy_rows(aside, *this, count - whole, row + whole);
    return running_start;
}

void RecordColumns::add_to_start_f(std::size_t first, std::size_t last, uint32_t amount) {
    uint32_t* const values = start_f.data();
    for (std::size_t row = first; row < last; ++row) values[row] += amount;
}

uint32_t RecordColumns::decode_into(const uint8_t* bytes, std::size_t count, std::size_t row, uint32_t running_start,
                                    const LaneDecoder& decoder) {
    using namespace simd;
    if (count == 0) return running_start;
    // Plain pointers: the byte-sized record_type stores could otherwise alias the columns'
    // own bookkeeping and force it to be reloaded after every store.
    uint16_t* const out_ipd_f = words.column(0) + row;
    uint16_t* const out_dur_f = words.column(1) + row;
    float* const out_bin0_intensity = values.column(0) + row;
    float* const out_bin1_intensity = values.column(1) + row;
    float* const out_bin0_bg_mean = values.column(2) + row;
    float* const out_bin1_bg_mean = values.column(3) + row;
    float* const out_bin0_bg_std = values.column(4) + row;
    float* const out_bin1_bg_std = values.column(5) + row;
    uint32_t* const out_start_f = start_f.data() + row;
    FormattedRecordType* const out_record_type = record_type.data() + row;
    double* const out_long_pulse_duration_f = wide_values.column(0) + row;
    double* const out_event_f = wide_values.column(1) + row;

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
    return out_start_f[count - 1];
}

}  // namespace zpr

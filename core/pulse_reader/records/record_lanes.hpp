// Eight records decoded side by side, one lane each.
//
// Queries decode their records eight at a time: the eight 16-byte records are transposed so
// that vector k holds word k of every record, and every rule of the decoding (the kind, the
// sentinels, the scaling) becomes a handful of lane-wise operations without branches. Kinds
// differ from record to record in no particular order, so a branch per record would be
// mispredicted often; lane masks cost the same whatever the mix.
#pragma once

#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/encoding_record.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "simd.hpp"

#include <array>
#include <span>

namespace zpr {

using simd::f32x8;
using simd::i16x8;
using simd::u16x8;
using simd::u32x8;

struct RecordLanes {
    std::array<u16x8, 8> words;  // words[k][lane]: word k of the lane's record
    // Whether any lane holds a sentinel code in words 2 to 7. Nearly no group of eight does,
    // and decoding skips the sentinel handling for those.
    bool any_sentinel = false;

    // `rows[lane]` holds the eight words of the lane's record, as loaded from the file.
    static RecordLanes transpose(const std::array<u16x8, 8>& rows);
    // Eight consecutive records starting at `bytes`.
    static RecordLanes load(const uint8_t* bytes);

    i16x8 word_signed(std::size_t k) const { return i16x8(words[k]); }
    // Words 4 and 5 as one unsigned 32-bit value, word 4 being the low half.
    u32x8 wide_value() const {
        return __builtin_convertvector(words[4], u32x8) | (__builtin_convertvector(words[5], u32x8) << 16);
    }
};

// The kind of each lane's record, as one all-ones/all-zeros mask per kind.
struct LaneKinds {
    i16x8 pulse, padding, step_down, step_up, long_pulse_update, long_pulse_dropped, unknown, background;

    explicit LaneKinds(const RecordLanes& lanes);

    i16x8 step() const { return step_down | step_up; }
    i16x8 long_pulse() const { return long_pulse_update | long_pulse_dropped; }
    // Kinds whose intensities (words 2 and 3) are scaled-decoded.
    i16x8 scaled_intensities() const { return pulse | step() | long_pulse(); }
    // Kinds whose background words (4 to 7) are scaled-decoded.
    i16x8 scaled_background() const { return pulse | background; }
    // The FormattedRecordType code of each lane.
    i16x8 codes() const;
};

// The file's encoding records 2 to 7 spread over all lanes.
class LaneDecoder {
public:
    explicit LaneDecoder(std::span<const EncodingRecord> encodings);

    // Word k of every lane: scaled-decoded (sentinels included) in the lanes set in `scaled`,
    // the plain signed value in the others.
    f32x8 value(const RecordLanes& lanes, std::size_t k, i16x8 scaled) const;

private:
    std::array<f32x8, 8> inverse_scale_{};
    std::array<f32x8, 8> offset_{};
};

// -- definitions, inlined into the decoding loops ----------------------------------------

inline RecordLanes RecordLanes::transpose(const std::array<u16x8, 8>& r) {
    // Three rounds of interleaving: 16-bit, 32-bit and 64-bit halves.
    std::array<u16x8, 8> a, b;
    for (std::size_t k = 0; k < 4; ++k) {
        a[2 * k] = __builtin_shufflevector(r[2 * k], r[2 * k + 1], 0, 8, 1, 9, 2, 10, 3, 11);
        a[2 * k + 1] = __builtin_shufflevector(r[2 * k], r[2 * k + 1], 4, 12, 5, 13, 6, 14, 7, 15);
    }
    for (std::size_t k = 0; k < 2; ++k) {
        for (std::size_t h = 0; h < 2; ++h) {
            b[4 * k + 2 * h] = __builtin_shufflevector(a[4 * k + h], a[4 * k + 2 + h], 0, 1, 8, 9, 2, 3, 10, 11);
            b[4 * k + 2 * h + 1] = __builtin_shufflevector(a[4 * k + h], a[4 * k + 2 + h], 4, 5, 12, 13, 6, 7, 14, 15);
        }
    }
    RecordLanes lanes;
    for (std::size_t h = 0; h < 4; ++h) {
        lanes.words[2 * h] = __builtin_shufflevector(b[h], b[4 + h], 0, 1, 2, 3, 8, 9, 10, 11);
        lanes.words[2 * h + 1] = __builtin_shufflevector(b[h], b[4 + h], 4, 5, 6, 7, 12, 13, 14, 15);
    }
    // The sentinels 0x7FFF, 0x8000 and 0x8001 are the only words that, plus one, lie below
    // -32765 as signed values.
    i16x8 sentinel{};
    for (std::size_t k = 2; k < 8; ++k) sentinel |= i16x8(lanes.words[k] + 1) < int16_t(-32765);
    lanes.any_sentinel = simd::any(sentinel);
    return lanes;
}

inline RecordLanes RecordLanes::load(const uint8_t* bytes) {
    std::array<u16x8, 8> rows;
    for (std::size_t lane = 0; lane < simd::kLanes; ++lane) rows[lane] = simd::load<u16x8>(bytes + lane * kRecordSize);
    return transpose(rows);
}

inline LaneKinds::LaneKinds(const RecordLanes& lanes) {
    // The first rule that matches decides: pulse, padding, a kind code in word 6, unknown
    // (non-zero intensities), background.
    const auto& w = lanes.words;
    const i16x8 code = lanes.word_signed(6);
    pulse = w[1] != 0;
    padding = ~pulse & (w[0] == 0xFFFF);
    const i16x8 other = ~pulse & ~padding;
    step_down = other & (code == detail::kStepDownCode);
    step_up = other & (code == detail::kStepUpCode);
    long_pulse_update = other & (code == detail::kLongPulseUpdateCode);
    long_pulse_dropped = other & (code == detail::kLongPulseDroppedCode);
    const i16x8 rest = other & ~step() & ~long_pulse();
    unknown = rest & ((w[2] | w[3]) != 0);
    background = rest & ~unknown;
}

inline i16x8 LaneKinds::codes() const {
    using T = FormattedRecordType;
    auto code = [](i16x8 mask, T type) { return mask & int16_t(type); };
    // Exactly one mask is set per lane, and Pulse's code is 0.
    return code(padding, T::Padding) | code(step_down, T::StepDown) | code(step_up, T::StepUp) |
           code(long_pulse_update, T::LongPulseUpdate) | code(long_pulse_dropped, T::LongPulseDropped) |
           code(unknown, T::Unknown) | code(background, T::Background);
}

inline LaneDecoder::LaneDecoder(std::span<const EncodingRecord> encodings) {
    for (std::size_t k = 2; k < 8; ++k) {
        inverse_scale_[k] = simd::splat<f32x8>(encodings[k].inverse_scale);
        offset_[k] = simd::splat<f32x8>(encodings[k].offset);
    }
}

inline f32x8 LaneDecoder::value(const RecordLanes& lanes, std::size_t k, i16x8 scaled) const {
    const u16x8 word = lanes.words[k];
    const f32x8 plain = __builtin_convertvector(i16x8(word), f32x8);
    const f32x8 value = simd::select(simd::widen(scaled), plain * inverse_scale_[k] + offset_[k], plain);
    if (!lanes.any_sentinel) return value;
    // Sentinels 0x7FFF, 0x8000 and 0x8001 are +inf, NaN and -inf: their float bit patterns
    // have zero low halves, so the high halves are picked in 16-bit lanes and shifted up.
    const u16x8 sentinel = word - 0x7FFF;
    const i16x8 high_half = ((sentinel == 0) & int16_t(0x7F80)) | ((sentinel == 1) & int16_t(0x7FC0)) |
                            ((sentinel == 2) & int16_t(0xFF80));
    const simd::i32x8 bits = simd::widen(high_half) << 16;
    return simd::select(simd::widen(scaled & (sentinel <= 2)), f32x8(bits), value);
}

}  // namespace zpr

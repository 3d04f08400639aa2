// One of the eight 4-byte encoding records that follow the file header. Record i says how
// word i of every raw record is scaled: a stored word w decodes to w / scale + offset.
//
//   byte 0     kind           (preserved, not interpreted)
//   byte 1     fraction_bits  (low four bits k give the divisor 2^k; high bits ignored)
//   bytes 2-3  offset         (unsigned addend)
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace zpr {

inline constexpr std::size_t kEncodingRecordSize = 4;
inline constexpr std::size_t kEncodingRecordCount = 8;

struct EncodingRecord {
    float scale = 1.0f;
    float offset = 0.0f;
    uint8_t kind = 0;
    uint8_t fraction_bits = 0;
    // 1 / scale. The scale is a power of two, so its reciprocal is exact and multiplying by it
    // gives the same float as dividing by the scale, at a fraction of the cost.
    float inverse_scale = 1.0f;

    static EncodingRecord from_bytes(const uint8_t* bytes) {
        EncodingRecord r;
        r.kind = bytes[0];
        r.fraction_bits = bytes[1];
        r.scale = float(1u << (bytes[1] & 0x0F));
        r.inverse_scale = 1.0f / r.scale;
        r.offset = float(uint16_t(bytes[2] | (bytes[3] << 8)));
        return r;
    }

    // Whether the two were read from the same four bytes (each byte is kept: the kind and
    // fraction bits as they are, the offset exactly, as a float).
    bool same_bytes(const EncodingRecord& other) const {
        return kind == other.kind && fraction_bits == other.fraction_bits && offset == other.offset;
    }

    // Scaled decoding of a measurement word. Three signed values are sentinels and are
    // returned without scaling: 0x7FFF is +inf, 0x8000 NaN, 0x8001 -inf.
    float decode(uint16_t word) const {
        switch (word) {
            case 0x7FFF: return std::numeric_limits<float>::infinity();
            case 0x8000: return std::bit_cast<float>(uint32_t(0x7FC00000));
            case 0x8001: return -std::numeric_limits<float>::infinity();
            default: return float(int16_t(word)) * inverse_scale + offset;
        }
    }
};

}  // namespace zpr

// One 16-byte record as stored: eight little-endian 16-bit words.
//
//   word 0    ipd_f: frames since the previous event (0xFFFF with word 1 = 0: padding)
//   word 1    dur_f: pulse duration in frames, non-zero exactly for pulse records
//   words 2-7 measurements; in step and long-pulse records word 6 holds the kind code and
//             words 4-5 together a 32-bit value (word 4 the low half)
#pragma once

#include <array>
#include <cstdint>

namespace zpr {

struct RawRecord {
    std::array<uint16_t, 8> words{};

    static RawRecord from_bytes(const uint8_t* bytes) {
        RawRecord record;
        for (std::size_t i = 0; i < 8; ++i)
            record.words[i] = uint16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        return record;
    }

    // Words 4 and 5 read as one unsigned 32-bit value, word 4 being the low half.
    uint32_t wide_value() const { return uint32_t(words[4]) | (uint32_t(words[5]) << 16); }
};

}  // namespace zpr

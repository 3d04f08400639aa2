// The 16-byte head of an aperture block: u32 aperture_x, u32 aperture_y, u32 aperture_index,
// u32 record_count. The bytes are kept exactly as read so that writers can emit them again.
#pragma once

#include <array>
#include <cstdint>

namespace zpr {

class BufferedWriter;

inline constexpr std::size_t kApertureHeaderSize = 16;
inline constexpr std::size_t kRecordSize = 16;

// Bytes of a whole block of `record_count` records: its header and its records.
inline uint64_t block_size(uint32_t record_count) { return kApertureHeaderSize + uint64_t(kRecordSize) * record_count; }

struct ApertureHeader {
    uint64_t aperture_byteloc = 0;
    std::array<uint8_t, kApertureHeaderSize> bytes{};

    static ApertureHeader from_bytes(const std::array<uint8_t, kApertureHeaderSize>& bytes,
                                     uint64_t aperture_byteloc) {
        return ApertureHeader{aperture_byteloc, bytes};
    }

    uint32_t aperture_x() const { return field(0); }
    uint32_t aperture_y() const { return field(4); }
    uint32_t aperture_index() const { return field(8); }
    uint32_t record_count() const { return field(12); }
    // Bytes of the whole block: this header and its records.
    uint64_t block_size() const { return zpr::block_size(record_count()); }

    void set_aperture_y(uint32_t value) { set_field(4, value); }
    void set_aperture_index(uint32_t value) { set_field(8, value); }

    void write_all(BufferedWriter& writer) const;

private:
    uint32_t field(std::size_t at) const {
        return uint32_t(bytes[at]) | (uint32_t(bytes[at + 1]) << 8) | (uint32_t(bytes[at + 2]) << 16) |
               (uint32_t(bytes[at + 3]) << 24);
    }
    void set_field(std::size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
    }
};

}  // namespace zpr

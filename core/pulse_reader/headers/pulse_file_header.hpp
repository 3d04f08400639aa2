// The fixed 48-byte header at the start of every pulse file.
//
//   offset size field
//        0    4 magic "ZynP"
//        4    4 reserved_a              (preserved, not interpreted)
//        8    8 aperture_count          (number of index entries)
//       16    4 metadata_length         (bytes of JSON from offset 80)
//       20    1 encoding_record_type    (must be 1)
//       21    1 encoding_record_size    (must be 4)
//       22    2 encoding_record_count   (must be 8)
//       24    4 reserved_b              (preserved, not interpreted)
//       28    4 record_size             (must be 16)
//       32    8 data_offset             (first aperture block)
//       40    8 index_offset            (the index)
#pragma once

#include <array>
#include <cstdint>

namespace zpr {

inline constexpr uint32_t kPulseFileMagic = 0x506E795A;  // "ZynP" read little-endian
inline constexpr std::size_t kPulseFileHeaderSize = 48;
// The metadata document starts right behind the header and the eight 4-byte encoding records.
inline constexpr uint64_t kMetadataOffset = 80;

struct PulseFileHeader {
    uint32_t magic = 0;
    uint32_t reserved_a = 0;
    uint64_t aperture_count = 0;
    uint32_t metadata_length = 0;
    uint8_t encoding_record_type = 0;
    uint8_t encoding_record_size = 0;
    uint16_t encoding_record_count = 0;
    uint32_t reserved_b = 0;
    uint32_t record_size = 0;
    uint64_t data_offset = 0;
    uint64_t index_offset = 0;

    static PulseFileHeader from_bytes(const std::array<uint8_t, kPulseFileHeaderSize>& bytes);
    std::array<uint8_t, kPulseFileHeaderSize> to_bytes() const;
    // Throws Error with the first failed check, in the order magic, encoding record type,
    // encoding record size, record size, encoding record count.
    void validate() const;
};

}  // namespace zpr

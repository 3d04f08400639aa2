#include "pulse_reader/headers/pulse_file_header.hpp"

#include "error.hpp"
#include "file_io.hpp"

#include <string>

namespace zpr {

PulseFileHeader PulseFileHeader::from_bytes(const std::array<uint8_t, kPulseFileHeaderSize>& b) {
    PulseFileHeader h;
    h.magic = load_u32(&b[0]);
    h.reserved_a = load_u32(&b[4]);
    h.aperture_count = load_u64(&b[8]);
    h.metadata_length = load_u32(&b[16]);
    h.encoding_record_type = b[20];
    h.encoding_record_size = b[21];
    h.encoding_record_count = load_u16(&b[22]);
    h.reserved_b = load_u32(&b[24]);
    h.record_size = load_u32(&b[28]);
    h.data_offset = load_u64(&b[32]);
    h.index_offset = load_u64(&b[40]);
    return h;
}

std::array<uint8_t, kPulseFileHeaderSize> PulseFileHeader::to_bytes() const {
    std::array<uint8_t, kPulseFileHeaderSize> b{};
    store_u32(&b[0], magic);
    store_u32(&b[4], reserved_a);
    store_u64(&b[8], aperture_count);
    store_u32(&b[16], metadata_length);
    b[20] = encoding_record_type;
    b[21] = encoding_record_size;
    b[22] = uint8_t(encoding_record_count);
    b[23] = uint8_t(encoding_record_count >> 8);
    store_u32(&b[24], reserved_b);
    store_u32(&b[28], record_size);
    store_u64(&b[32], data_offset);
    store_u64(&b[40], index_offset);
    return b;
}

void PulseFileHeader::validate() const {
    if (magic != kPulseFileMagic) throw Error("Pulse file header is invalid!");
    if (encoding_record_type != 1)
        throw Error("Invalid encoding record type: " + std::to_string(encoding_record_type));
    if (encoding_record_size != 4)
        throw Error("Invalid encoding record size: " + std::to_string(encoding_record_size));
    // The record size is checked before the encoding record count, although it lies behind it.
    if (record_size != 16) throw Error("Invalid record size: " + std::to_string(record_size));
    if (encoding_record_count != 8)
        throw Error("Invalid number of encoding records: " + std::to_string(encoding_record_count));
}

}  // namespace zpr

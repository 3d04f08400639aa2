#include "pulse_reader/open_diagnosis.hpp"

#include "file_io.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace zpr {

namespace {

// "37 bytes" for small files, "296 MB" (decimal units) for large ones.
std::string size_text(uint64_t bytes) {
    if (bytes < 10000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* const units[] = {"kB", "MB", "GB", "TB"};
    double value = double(bytes) / 1000;
    std::size_t unit = 0;
    for (; value >= 1000 && unit + 1 < std::size(units); ++unit) value /= 1000;
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

// What is wrong with a file of `size` bytes starting with `start` (its first bytes, up to a
// header's worth); empty when nothing is.
std::string diagnosis(uint64_t size, std::span<const uint8_t> start) {
    const std::string length = size_text(size);
    if (size == 0) return "0 bytes; not a pulse file (it is empty)";
    if (start.size() < 4 || load_u32(start.data()) != kPulseFileMagic)
        return length + "; not a pulse file (it does not start with 'ZynP')";
    if (start.size() < kPulseFileHeaderSize)
        return length + ", but the header of a pulse file alone takes " + std::to_string(kPulseFileHeaderSize) +
               " bytes: the file is truncated";
    std::array<uint8_t, kPulseFileHeaderSize> bytes;
    std::copy_n(start.begin(), kPulseFileHeaderSize, bytes.begin());
    const PulseFileHeader header = PulseFileHeader::from_bytes(bytes);
    const uint64_t metadata_end = kMetadataOffset + header.metadata_length;
    if (metadata_end > size)
        return length + ", but its metadata ends at byte " + std::to_string(metadata_end) + ": the file is truncated";
    if (header.index_offset > size || size - header.index_offset < 8)
        return length + ", but its index starts at byte " + std::to_string(header.index_offset) +
               ": the file is truncated";
    const unsigned __int128 index_end =
        header.index_offset + 8 + static_cast<unsigned __int128>(header.aperture_count) * kIndexEntrySize;
    if (index_end > size) {
        const std::string end = index_end > UINT64_MAX ? "beyond 2**64" : "at byte " + std::to_string(uint64_t(index_end));
        return length + ", but its index of " + std::to_string(header.aperture_count) + " apertures ends " + end +
               ": the file is truncated, or its aperture count is damaged";
    }
    return {};
}

}  // namespace

Message diagnose_open_failure(const std::string& path) {
    try {
        const File file = File::open_read(path);
        const uint64_t size = file.size();
        std::array<uint8_t, kPulseFileHeaderSize> start{};
        const std::size_t have = std::size_t(std::min<uint64_t>(size, start.size()));
        file.read_exact_at(0, std::span(start.data(), have));
        const std::string cause = diagnosis(size, std::span(start.data(), have));
        if (!cause.empty()) return Message().name(path).text(": " + cause);
    } catch (const Error&) {
        // It cannot be read at all: the error itself says why.
    }
    return Message("while opening ").name(path);
}

}  // namespace zpr

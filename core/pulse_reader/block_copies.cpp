#include "pulse_reader/block_copies.hpp"

#include "column.hpp"
#include "stop_request.hpp"

#include <algorithm>

namespace zpr {

namespace {

// Checks and shifts, in place, the header of block k, whose 16 bytes are at `bytes`.
struct HeaderCheck {
    std::span<const uint32_t> record_counts;
    HeaderShift shift;
    const std::function<void(std::size_t)>& on_other_count;

    void apply(uint8_t* bytes, std::size_t k) const {
        if (load_u32(bytes + 12) != record_counts[k]) on_other_count(k);
        store_u32(bytes + 4, load_u32(bytes + 4) + shift.rows);
        store_u32(bytes + 8, load_u32(bytes + 8) + shift.apertures);
    }

    // A block whose bytes are not taken from a read's buffer: its header from memory, its
    // records straight from the file.
    void write_from_file(BufferedWriter& writer, const File& file, const Extent& extent, std::size_t k) const {
        std::array<uint8_t, kApertureHeaderSize> header;
        file.read_exact_at(extent.offset, header);
        apply(header.data(), k);
        writer.write(header);
        writer.write_from(file, extent.offset + kApertureHeaderSize, extent.length - kApertureHeaderSize);
    }
};

// Whether the read's blocks lie back to back and fill it: its bytes are then the output's.
bool back_to_back(std::span<const Extent> extents, const PlannedRead& read) {
    uint64_t end = read.range.offset;
    for (std::size_t k = read.first; k < read.last; end = extents[k++].end())
        if (extents[k].offset != end) return false;
    return end == read.range.end();
}

}  // namespace

void copy_blocks(BufferedWriter& writer, const File& file, std::span<const Extent> extents,
                 std::span<const uint32_t> record_counts, HeaderShift shift,
                 const std::function<void(std::size_t k)>& on_other_count) {
    const HeaderCheck check{record_counts, shift, on_other_count};
    Column<uint8_t> buffer;
    // Reads no longer than the writer's buffer: blocks back to back are read straight into it,
    // and written out by its helper thread while the next read goes on.
    for (const PlannedRead& read : plan_reads(extents, kPlannedReadGap, BufferedWriter::kCapacity)) {
        throw_if_stop_requested();
        if (read.range.length > BufferedWriter::kCapacity) {  // one block, too long to hold
            check.write_from_file(writer, file, extents[read.first], read.first);
            continue;
        }
        if (back_to_back(extents, read)) {
            const std::span<uint8_t> bytes = writer.room(read.range.length);
            file.read_exact_at(read.range.offset, bytes);
            for (std::size_t k = read.first; k < read.last; ++k)
                check.apply(bytes.data() + (extents[k].offset - read.range.offset), k);
            writer.commit(read.range.length);
            continue;
        }
        buffer.make_room(read.range.length);
        file.read_exact_at(read.range.offset, std::span(buffer.data(), read.range.length));
        auto in_buffer = [&](uint64_t offset) { return buffer.data() + (offset - read.range.offset); };
        // [pending, pending_end): blocks back to back, their headers rewritten, not written
        // yet. Bytes below pending_end may hold rewritten headers: a block that starts there
        // (listed twice, or out of order) is taken from the file instead.
        uint64_t pending = read.range.offset;
        uint64_t pending_end = pending;
        auto write_pending = [&] {
            writer.write(std::span(in_buffer(pending), pending_end - pending));
            pending = pending_end;
        };
        for (std::size_t k = read.first; k < read.last; ++k) {
            const Extent& extent = extents[k];
            if (extent.offset < pending_end) {
                write_pending();
                check.write_from_file(writer, file, extent, k);
                continue;
            }
            if (extent.offset != pending_end) {
                write_pending();
                pending = pending_end = extent.offset;
            }
            check.apply(in_buffer(extent.offset), k);
            pending_end = extent.end();
        }
        write_pending();
    }
}

}  // namespace zpr

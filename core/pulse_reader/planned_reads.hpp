// Many aperture blocks read in few large reads.
//
// Whole-run queries visit thousands to millions of blocks, most of a few hundred bytes and
// most lying right after the one before. A read per block would cost a system call each,
// so neighbouring blocks are read together: walking the blocks in the order asked for, the
// current read takes in the next block when it starts at or after the read's start, no more
// than a small gap past its end, and the read stays within 1 MiB; otherwise a new read
// starts at that block. Each block is then served from the read's buffer at its own
// offset, so the plan is right for any layout (scattered, out of order, overlapping or
// repeated blocks) and merely faster for blocks back to back.
#pragma once

#include "column.hpp"
#include "file_io.hpp"
#include "stop_request.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zpr {

// A byte range of the file.
struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t end() const { return offset + length; }
};

// One read of a plan: the file range it covers, and the extents [first, last) it serves.
struct PlannedRead {
    Extent range;
    std::size_t first = 0;
    std::size_t last = 0;
};

// Reads join blocks at most this far apart, and stay at most this long: a read of 1 MiB costs
// a system call per 1 MiB copied, nothing next to the copy, and each of the two threads of a
// query holds a buffer this long while a walk holds a batch and builds the next.
inline constexpr uint64_t kPlannedReadGap = 4096;
inline constexpr uint64_t kPlannedReadLength = uint64_t(1) << 20;
// Bytes readable past every extent served: the decoding loops may read one group of eight
// records past the records they decode.
inline constexpr std::size_t kPlannedReadSlack = 8 * 16;

// Groups `extents`, in order, into reads as described above. An extent longer than
// `max_length` gets a read of its own, as long as itself.
std::vector<PlannedRead> plan_reads(std::span<const Extent> extents, uint64_t max_gap = kPlannedReadGap,
                                    uint64_t max_length = kPlannedReadLength);

// Calls `serve(i, bytes)` for every extent i of `extents` in order, with its bytes read
// through a plan; an extent longer than kPlannedReadLength is not read: `bytes` is null,
// for the caller to read it in pieces. Every extent must lie within the file. A stop
// request is obeyed before each read.
template <class Serve>
void read_planned(const File& file, std::span<const Extent> extents, Serve&& serve) {
    Column<uint8_t> buffer;
    for (const PlannedRead& read : plan_reads(extents)) {
        throw_if_stop_requested();
        if (read.range.length > kPlannedReadLength) {
            serve(read.first, static_cast<const uint8_t*>(nullptr));
            continue;
        }
        buffer.make_room(read.range.length + kPlannedReadSlack);
        file.read_exact_at(read.range.offset, std::span(buffer.data(), read.range.length));
        for (std::size_t i = read.first; i < read.last; ++i)
            serve(i, static_cast<const uint8_t*>(buffer.data() + (extents[i].offset - read.range.offset)));
    }
}

}  // namespace zpr

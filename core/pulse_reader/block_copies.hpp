// Aperture blocks copied from a pulse file into a writer, each block's header checked and
// shifted on the way.
//
// A whole run holds millions of blocks of a few hundred bytes, back to back. One call per
// block would cost more than moving the bytes, so the blocks are read in few large reads
// (planned_reads.hpp); each header is checked and shifted in the read's buffer, and
// blocks that lie back to back go out in one write: a run of back-to-back blocks costs what
// a copy of the file costs. A block too long for one read goes out in pieces.
#pragma once

#include "error.hpp"
#include "file_io.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "pulse_reader/planned_reads.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace zpr {

// What a copy adds to every block header's aperture_y and aperture number (modulo 2^32).
struct HeaderShift {
    uint32_t rows = 0;
    uint32_t apertures = 0;
};

// Writes the blocks `extents` of `file`, in order, back to back, each header shifted by
// `shift` and the records as they are. Every extent must lie within the file and hold a
// whole block of `record_counts[k]` records; `on_other_count(k)` is called, and must throw,
// when block k's header says otherwise. A stop request is obeyed before each read.
void copy_blocks(BufferedWriter& writer, const File& file, std::span<const Extent> extents,
                 std::span<const uint32_t> record_counts, HeaderShift shift,
                 const std::function<void(std::size_t k)>& on_other_count);

// The blocks of `apertures` of `reader`, with `record_counts` (one per aperture), as
// copy_blocks writes them, a stretch of apertures at a time: the extents of one stretch are
// held at once, never those of a whole run.
template <class Numbers>
void copy_aperture_blocks(BufferedWriter& writer, const PulseReader& reader, const Numbers& apertures,
                          std::span<const uint32_t> record_counts, HeaderShift shift,
                          const std::function<void(std::size_t k)>& on_other_count) {
    std::vector<Extent> extents;
    for (std::size_t first = 0; first < apertures.size(); first += PulseReader::kHeadersPerStretch) {
        const std::size_t last = std::min(apertures.size(), first + PulseReader::kHeadersPerStretch);
        extents.clear();
        for (std::size_t i = first; i < last; ++i)
            extents.push_back({reader.index().get(apertures[i]), block_size(record_counts[i])});
        copy_blocks(writer, reader.file(), extents, record_counts.subspan(first, last - first), shift, on_other_count);
    }
}

// The record counts of the blocks of `apertures` if the index lays them out back to back in
// that order, as writers lay out a run: every count but the last then follows from the
// distance to the next block, and the last is read from its header, its block checked to
// lie in the first `file_size` bytes. Nothing when the index says otherwise or a block
// cannot be found. The counts are a hypothesis until the copy has seen every header: a copy
// made on them passes `on_other_count` = throw NotOneRun{}, and starts again the careful way
// (every header read first) when it is thrown.
template <class Numbers>
std::optional<std::vector<uint32_t>> counts_of_one_run(const PulseFileIndex& index, const File& file,
                                                       const Numbers& apertures, uint64_t file_size) {
    if (apertures.empty()) return std::nullopt;
    std::vector<uint32_t> counts;
    counts.reserve(apertures.size());
    try {
        uint64_t location = index.get(apertures[0]);
        for (std::size_t i = 1; i < apertures.size(); ++i) {
            const uint64_t next = index.get(apertures[i]);
            if (next <= location || next - location < kApertureHeaderSize) return std::nullopt;
            const uint64_t records = next - location - kApertureHeaderSize;
            if (records % kRecordSize != 0 || records / kRecordSize > UINT32_MAX) return std::nullopt;
            counts.push_back(uint32_t(records / kRecordSize));
            location = next;
        }
        if (location > file_size || file_size - location < kApertureHeaderSize) return std::nullopt;
        std::array<uint8_t, kApertureHeaderSize> header;
        file.read_exact_at(location, header);
        const uint32_t last = ApertureHeader::from_bytes(header, location).record_count();
        if (block_size(last) > file_size - location) return std::nullopt;
        counts.push_back(last);
    } catch (const Error&) {
        return std::nullopt;
    }
    return counts;
}

// Thrown by a copy made on counts_of_one_run's counts when a header disagrees with them.
struct NotOneRun {};

}  // namespace zpr

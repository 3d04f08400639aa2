// Aperture blocks copied from a pulse file into a writer, each block's header checked and
// shifted on the way.
//
// A whole run holds millions of blocks of a few hundred bytes, back to back. One call per
// block would cost more than moving the bytes, so the blocks are read in few large reads
// (planned_reads.hpp); each header is checked and shifted in the read's buffer, and
// blocks that lie back to back go out in one write: a run of back-to-back blocks costs what
// a copy of the file costs. A block too long for one read goes out in pieces.
#pragma once

#include "file_io.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/planned_reads.hpp"

#include <cstddef>
#include <functional>
#include <span>

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

}  // namespace zpr

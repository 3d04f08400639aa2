// The record area of one aperture block, read in pieces.
//
// Pieces hold at most 256 KiB of records, so that a query's memory is its result alone and
// the bytes being decoded are still in cache. The buffer has room for one group of eight
// records more than the piece, so that the decoding loops may read whole groups; the lanes
// past the piece decode whatever the buffer holds there and are discarded.
// The record count comes from the file, so it is checked against the file's length before
// anything is read or allocated: a damaged count ends in "failed to fill whole buffer".
// The caller passes the length, which the reader takes once when it opens the file.
#pragma once

#include "column.hpp"
#include "file_io.hpp"
#include "pulse_reader/headers/aperture_header.hpp"

#include <cstddef>
#include <cstdint>

namespace zpr {

class RecordPieces {
public:
    // Records [first, last) of the block (all of them by default).
    RecordPieces(const File& file, uint64_t file_size, const ApertureHeader& header, std::size_t first = 0,
                 std::size_t last = SIZE_MAX);

    // Reads the next piece; false once every record has been read.
    bool next();
    const uint8_t* bytes() const { return buffer_.data(); }
    std::size_t piece_count() const { return piece_length_; }
    // Position of the piece's first record among all records of the aperture.
    uint64_t first_position() const { return piece_start_; }

private:
    static constexpr std::size_t kPieceRecords = 16384;

    const File& file_;
    uint64_t first_record_offset_;
    std::size_t last_;
    std::size_t piece_start_ = 0;
    std::size_t piece_length_ = 0;
    // Column memory, so that the buffers of one query are kept for the next.
    Column<uint8_t> buffer_;
};

}  // namespace zpr

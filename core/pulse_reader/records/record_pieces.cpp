#include "pulse_reader/records/record_pieces.hpp"

#include "simd.hpp"
#include "stop_request.hpp"

#include <algorithm>

namespace zpr {

RecordPieces::RecordPieces(const File& file, uint64_t file_size, const ApertureHeader& header, std::size_t first,
                           std::size_t last)
    : file_(file),
      first_record_offset_(header.aperture_byteloc + kApertureHeaderSize),
      last_(std::min<std::size_t>(last, header.record_count())),
      piece_start_(std::min(first, last_)) {
    require_within(file_size, first_record_offset_, uint64_t(header.record_count()) * kRecordSize);
    buffer_.make_room((std::min(last_ - piece_start_, kPieceRecords) + simd::kLanes) * kRecordSize);
}

bool RecordPieces::next() {
    piece_start_ += piece_length_;
    if (piece_start_ >= last_) return false;
    throw_if_stop_requested();
    piece_length_ = std::min(last_ - piece_start_, kPieceRecords);
    file_.read_exact_at(first_record_offset_ + uint64_t(piece_start_) * kRecordSize,
                        std::span(buffer_.data(), piece_length_ * kRecordSize));
    return true;
}

}  // namespace zpr

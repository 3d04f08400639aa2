#include "pulse_reader/records/decoded_records.hpp"

#include <algorithm>

namespace zpr {

DecodedRecords::DecodedRecords(const File& file, std::span<const EncodingRecord> encodings,
                               const ApertureHeader& header)
    : file_(file),
      encodings_(encodings),
      first_record_offset_(header.aperture_byteloc + kApertureHeaderSize),
      count_(header.record_count()) {
    file_.require_range(first_record_offset_, uint64_t(count_) * kRecordSize);
    piece_.resize(std::min(count_, kPieceRecords) * kRecordSize);
    if (count_ > 0) load_piece();
}

void DecodedRecords::load_piece() {
    piece_start_ = position_;
    piece_length_ = std::min(count_ - position_, kPieceRecords);
    file_.read_exact_at(first_record_offset_ + uint64_t(piece_start_) * kRecordSize,
                        std::span(piece_.data(), piece_length_ * kRecordSize));
}

}  // namespace zpr

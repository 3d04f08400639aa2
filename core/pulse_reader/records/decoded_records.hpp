// The records of one aperture block, decoded as they are iterated.
//
// The record area is read in pieces of at most 256 KiB into one buffer, so that a query's
// memory is its result alone and the bytes being decoded are still in cache. The record
// count comes from the file, so it is checked against the file's length before anything is
// read or allocated: a damaged count ends in "failed to fill whole buffer".
#pragma once

#include "file_io.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/encoding_record.hpp"
#include "pulse_reader/records/formatted_record.hpp"

#include <cstddef>
#include <iterator>
#include <span>
#include <vector>

namespace zpr {

class DecodedRecords {
public:
    DecodedRecords(const File& file, std::span<const EncodingRecord> encodings, const ApertureHeader& header);

    class iterator {
    public:
        using iterator_concept = std::input_iterator_tag;
        using value_type = FormattedRecord;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        explicit iterator(DecodedRecords* records) : records_(records) {}
        FormattedRecord operator*() const { return records_->current(); }
        iterator& operator++() {
            records_->advance();
            return *this;
        }
        void operator++(int) { records_->advance(); }
        bool operator==(std::default_sentinel_t) const { return records_->position_ == records_->count_; }

    private:
        DecodedRecords* records_ = nullptr;
    };

    iterator begin() { return iterator(this); }
    std::default_sentinel_t end() const { return {}; }
    std::size_t size() const { return count_; }

private:
    static constexpr std::size_t kPieceRecords = 16384;

    FormattedRecord current() const {
        const uint8_t* bytes = &piece_[(position_ - piece_start_) * kRecordSize];
        return FormattedRecord::from_raw(RawRecord::from_bytes(bytes), encodings_, position_);
    }
    void advance() {
        if (++position_ == piece_start_ + piece_length_ && position_ < count_) load_piece();
    }
    void load_piece();

    const File& file_;
    std::span<const EncodingRecord> encodings_;
    uint64_t first_record_offset_;
    std::size_t count_;
    std::size_t position_ = 0;
    std::size_t piece_start_ = 0;
    std::size_t piece_length_ = 0;
    std::vector<uint8_t> piece_;
};

}  // namespace zpr

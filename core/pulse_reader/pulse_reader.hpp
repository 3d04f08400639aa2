// An open pulse file with everything small loaded: header, encoding records, metadata and
// aperture index. Aperture blocks are read on demand, one query at a time.
//
// File layout, in file order:
//   header (48 bytes) | 8 encoding records (32 bytes) | metadata JSON (metadata_length bytes)
//   | padding up to data_offset | aperture blocks | index at index_offset
// Every aperture block is a 16-byte aperture header followed by record_count 16-byte records.
#pragma once

#include "file_io.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/encoding_record.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "pulse_reader/metadata.hpp"
#include "pulse_reader/planned_reads.hpp"
#include "pulse_reader/records/aperture_summaries.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/pulse_builder.hpp"
#include "pulse_reader/records/pulse_columns.hpp"
#include "pulse_reader/records/record_columns.hpp"
#include "pulse_reader/records/record_kind_counts.hpp"
#include "pulse_reader/records/record_pieces.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zpr {

struct ApertureRecords {
    RecordColumns records;
    ApertureHeader header;
};

struct AperturePulses {
    PulseColumns pulses;
    ApertureHeader header;
};

// The records of several apertures, one after the other: each row also says which aperture
// it belongs to (as asked for) and its position among that aperture's records.
struct ManyApertureRecords {
    RecordColumns records;
    Column<uint64_t> aperture_index;
    Column<int64_t> position;
};

class PulseReader {
public:
    // Queries of at least this many records decode them on two threads.
    static constexpr std::size_t kTwoThreadRecords = 65536;
    // Lists of at least this many block headers are read on two threads.
    static constexpr std::size_t kTwoThreadHeaders = 2048;
    // Block headers read_record_counts holds at a time.
    static constexpr std::size_t kHeadersPerStretch = 65536;

    // Opens and validates `path`; throws Error with the first failure, noting what is wrong
    // with the file (open_diagnosis.hpp).
    static PulseReader open(std::string path);

    const std::string& path() const noexcept { return path_; }
    const File& file() const noexcept { return file_; }
    const PulseFileHeader& header() const noexcept { return header_; }
    const std::array<EncodingRecord, kEncodingRecordCount>& encoding_records() const noexcept {
        return encoding_records_;
    }
    const std::string& metadata_text() const noexcept { return metadata_text_; }
    const Json& metadata() const noexcept { return *metadata_; }
    const PulseFileIndex& index() const noexcept { return index_; }
    float fps() const noexcept { return fps_; }
    bool trimmed() const noexcept { return trimmed_; }

    // The aperture's header as stored at its block location.
    ApertureHeader read_aperture_header(uint64_t aperture) const;
    // The block header stored at `location`.
    ApertureHeader read_block_header(uint64_t location) const;
    // The block headers of `apertures`, in order, each block checked to lie within the first
    // `file_size` bytes of the file. `locate(aperture)` gives an aperture's block location
    // and may throw. Long lists are read on two threads; whatever fails, the error is the
    // first one the list meets in order, as if it were read one by one.
    template <class Locate>
    std::vector<ApertureHeader> read_headers_in_order(std::span<const uint64_t> apertures, Locate&& locate,
                                                      uint64_t file_size) const;
    // The record counts of the blocks of `apertures`, in order, read and checked as
    // read_headers_in_order says, a stretch of headers at a time: a writer planning a whole
    // run holds four bytes per block, never every block's header.
    template <class Numbers, class Locate>
    std::vector<uint32_t> read_record_counts(const Numbers& apertures, Locate&& locate, uint64_t file_size) const;
    // The block headers of `apertures` located through the index, checked against the file's
    // length, as read_headers_in_order says.
    std::vector<ApertureHeader> read_aperture_headers(std::span<const uint64_t> apertures) const;

    // Every record of the aperture, decoded, in file order.
    ApertureRecords get_all_records(uint64_t aperture) const;

    // The aperture's pulses, filtered when `filter` is not null.
    AperturePulses get_pulses(uint64_t aperture, const PulseFilter* filter) const;

    // The pulses of several apertures, in the order given, in one list. When the order check
    // fails for one of them, the error names it: "aperture N: <message>".
    PulseColumns get_pulses_many(std::span<const uint64_t> apertures, const PulseFilter* filter) const;
    // The same for apertures whose block headers have been read already (`headers[i]` that of
    // `apertures[i]`, from read_aperture_headers), with room for `min_rows` rows at least: the
    // batches of a walk ask for equal room, so that each reuses the memory of the one before,
    // and such room is backed by small pages (Pages in column_memory.hpp).
    PulseColumns get_pulses_many(std::span<const uint64_t> apertures, std::span<const ApertureHeader> headers,
                                 const PulseFilter* filter, std::size_t min_rows = 0) const;

    // The records of several apertures, in the order given, one after the other; with headers
    // and room as get_pulses_many.
    ManyApertureRecords get_all_records_many(std::span<const uint64_t> apertures) const;
    ManyApertureRecords get_all_records_many(std::span<const uint64_t> apertures,
                                             std::span<const ApertureHeader> headers, std::size_t min_rows = 0) const;

    // One row per aperture of `apertures`: its pulses (filtered when `filter` is not null)
    // reduced to counts, means and frames, in one pass over its records.
    ApertureSummaries summary(std::span<const uint64_t> apertures, const PulseFilter* filter) const;

    // One row per aperture of `apertures`: how many of its records are of each kind, in one
    // pass over its records.
    RecordKindCounts record_kinds(std::span<const uint64_t> apertures) const;

    // Writes a new pulse file holding the given apertures, in ascending order.
    void copy_apertures_to_new_file(std::vector<uint64_t> apertures, const std::string& file_name) const;

private:
    static PulseReader open_unnoted(std::string path);
    // copy_apertures_to_new_file without the note that names the files.
    void copy_into(std::vector<uint64_t> apertures, const std::string& file_name) const;
    // The headers of the blocks at `locations`, checked as read_headers_in_order says.
    std::vector<ApertureHeader> read_block_headers(std::span<const uint64_t> locations, uint64_t file_size) const;
    PulseReader(std::string path, File file) : path_(std::move(path)), file_(std::move(file)) {}

    // Calls `visit(i, bytes, count, first_position)` for the records of every block
    // headers[i], in order, piece by piece (first_position 0 on the first piece of each
    // block, and every block has at least one), reading neighbouring blocks together.
    template <class Visit>
    void visit_records(std::span<const ApertureHeader> headers, Visit&& visit) const;

    // Calls `visit(part, i, header, records)` for the block of every aperture apertures[i],
    // in one pass over the file, where `records(add)` calls `add(bytes, count)` for the
    // block's records piece by piece. Long lists run as two runs of apertures side by side,
    // part 0 the front run and part 1 the back; an aperture that cannot be located, or a
    // block past the file's end, throws the first such error in list order.
    template <class Visit>
    void visit_blocks_in_one_pass(std::span<const uint64_t> apertures, Visit&& visit) const;

    // Feeds records [first, last) of the block with `header` to `builder`, to build their
    // pulses or, with `skip`, to run its clock over them only.
    void build_records(const ApertureHeader& header, PulseBuilder& builder, std::size_t first, std::size_t last,
                       bool skip = false) const;

    std::string path_;
    File file_;
    // The file's length when it was opened: every size read from the file is checked
    // against it before anything is allocated.
    uint64_t file_size_ = 0;
    PulseFileHeader header_;
    std::array<EncodingRecord, kEncodingRecordCount> encoding_records_{};
    std::string metadata_text_;
    // Shared, so that the header need not know the document's type in full.
    std::shared_ptr<const Json> metadata_;
    PulseFileIndex index_;
    float fps_ = 0.0f;
    bool trimmed_ = false;
};

template <class Locate>
std::vector<ApertureHeader> PulseReader::read_headers_in_order(std::span<const uint64_t> apertures,
                                                               Locate&& locate, uint64_t file_size) const {
    // Locations up to the first that cannot be had; the headers before it are read (and
    // may fail) before its own error is thrown.
    std::vector<uint64_t> locations;
    locations.reserve(apertures.size());
    std::exception_ptr unlocated;
    for (uint64_t aperture : apertures) {
        try {
            locations.push_back(locate(aperture));
        } catch (...) {
            unlocated = std::current_exception();
            break;
        }
    }
    std::vector<ApertureHeader> headers = read_block_headers(locations, file_size);
    if (unlocated) std::rethrow_exception(unlocated);
    return headers;
}

template <class Numbers, class Locate>
std::vector<uint32_t> PulseReader::read_record_counts(const Numbers& apertures, Locate&& locate,
                                                      uint64_t file_size) const {
    std::vector<uint32_t> counts;
    counts.reserve(apertures.size());
    std::vector<uint64_t> stretch;
    for (std::size_t first = 0; first < apertures.size(); first += kHeadersPerStretch) {
        const auto begin = apertures.begin() + std::ptrdiff_t(first);
        stretch.assign(begin, begin + std::ptrdiff_t(std::min(kHeadersPerStretch, apertures.size() - first)));
        for (const ApertureHeader& header : read_headers_in_order(stretch, locate, file_size))
            counts.push_back(header.record_count());
    }
    return counts;
}

// Joins pulse files that are row strips of one aperture grid into `new_file_name`, which
// must not exist yet. Throws Error for ordinary failures and InternalFault for malformed
// metadata.
void merge_pulse_files(const std::vector<const PulseReader*>& readers, const std::string& new_file_name);

}  // namespace zpr

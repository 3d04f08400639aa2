#include "pulse_reader/pulse_reader.hpp"

#include "error.hpp"
#include "pulse_reader/open_diagnosis.hpp"
#include "run_both.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <string>

namespace zpr {

namespace {

constexpr uint64_t kEncodingRecordsOffset = kPulseFileHeaderSize;
static_assert(kMetadataOffset == kEncodingRecordsOffset + kEncodingRecordCount * kEncodingRecordSize);

// Closes the gap a filter left between the two parts of a result built side by side:
// moves rows [first, last) down to `to`. A large move is shared by two threads, each
// taking every other column.
void close_gap(PulseColumns& pulses, std::size_t first, std::size_t last, std::size_t to) {
    if (first == to || last - first < PulseReader::kTwoThreadRecords) {
        pulses.move_rows(first, last, to);
        return;
    }
    run_both([&] { pulses.move_rows(first, last, to, 0, 2); }, [&] { pulses.move_rows(first, last, to, 1, 2); });
}

// Where a list of blocks is cut in two runs of apertures for two threads: the first aperture
// at which the front run holds `twentieths`/20 of the records; 0 when the records are too
// few to share.
std::size_t split_by_records(std::span<const ApertureHeader> headers, std::size_t twentieths) {
    std::size_t total = 0;
    for (const ApertureHeader& header : headers) total += header.record_count();
    if (total < PulseReader::kTwoThreadRecords || !may_share_work()) return 0;
    std::size_t split = 0;
    for (std::size_t front_records = 0; split < headers.size() && front_records < total / 20 * twentieths; ++split)
        front_records += headers[split].record_count();
    return split;
}

// How a query's result room is backed: room of a walk's batches (asked for with `min_rows`)
// is reused batch after batch.
Pages room_pages(std::size_t min_rows) { return min_rows > 0 ? Pages::Small : Pages::Huge; }

// Runs `build` for `aperture`, one of many in a query: when the aperture fails the order
// check, the error names it; every other error passes unchanged.
template <class Build>
void naming_unsorted(uint64_t aperture, Build&& build) {
    try {
        build();
    } catch (const Error& error) {
        if (error.message() != kUnsortedPulsesMessage) throw;
        throw Error("aperture " + std::to_string(aperture) + ": " + error.message());
    }
}

}  // namespace

PulseReader PulseReader::open(std::string path) {
    const std::string name = path;
    return noting([&] { return diagnose_open_failure(name); }, [&] { return open_unnoted(std::move(path)); });
}

PulseReader PulseReader::open_unnoted(std::string path) {
    File file = File::open_read(path);
    PulseReader reader(std::move(path), std::move(file));
    const File& f = reader.file_;
    reader.file_size_ = f.size();

    std::array<uint8_t, kPulseFileHeaderSize> header_bytes;
    f.read_exact_at(0, header_bytes);
    reader.header_ = PulseFileHeader::from_bytes(header_bytes);
    reader.header_.validate();

    std::array<uint8_t, kEncodingRecordCount * kEncodingRecordSize> encoding_bytes;
    f.read_exact_at(kEncodingRecordsOffset, encoding_bytes);
    for (std::size_t i = 0; i < kEncodingRecordCount; ++i)
        reader.encoding_records_[i] = EncodingRecord::from_bytes(&encoding_bytes[i * kEncodingRecordSize]);

    std::vector<uint8_t> metadata_bytes = f.read_vector_at(kMetadataOffset, reader.header_.metadata_length);
    reader.metadata_text_.assign(metadata_bytes.begin(), metadata_bytes.end());
    check_utf8(reader.metadata_text_);
    reader.metadata_ = std::make_shared<const Json>(parse_metadata(reader.metadata_text_));
    reader.fps_ = read_fps(*reader.metadata_);
    reader.trimmed_ = read_trimmed(*reader.metadata_);

    std::array<uint8_t, 8> magic;
    f.read_exact_at(reader.header_.index_offset, magic);
    if (load_u64(magic.data()) != kIndexMagic) throw Error("Index magic number mismatch");

    const uint64_t count = reader.header_.aperture_count;
    // A count whose entries the file cannot hold fails here, before anything is allocated.
    const uint64_t entries_offset = reader.header_.index_offset + magic.size();
    if (count > reader.file_size_ / kIndexEntrySize) throw unexpected_eof();
    f.require_range(entries_offset, count * kIndexEntrySize);
    reader.index_ = PulseFileIndex::read(f, entries_offset, count);
    return reader;
}

ApertureHeader PulseReader::read_aperture_header(uint64_t aperture) const {
    return read_block_header(index_.get(aperture));
}

ApertureHeader PulseReader::read_block_header(uint64_t location) const {
    std::array<uint8_t, kApertureHeaderSize> bytes;
    file_.read_exact_at(location, bytes);
    return ApertureHeader::from_bytes(bytes, location);
}

std::vector<ApertureHeader> PulseReader::read_aperture_headers(std::span<const uint64_t> apertures) const {
    return read_headers_in_order(apertures, [&](uint64_t aperture) { return index_.get(aperture); }, file_size_);
}

std::vector<ApertureHeader> PulseReader::read_block_headers(std::span<const uint64_t> locations,
                                                           uint64_t file_size) const {
    std::vector<ApertureHeader> headers(locations.size());
    auto read_range = [&](std::size_t first, std::size_t last) {
        // Headers that lie within the file are read through a plan, up to the first that
        // does not, which is then read alone to fail with the error of its own read.
        std::vector<Extent> extents;
        extents.reserve(last - first);
        for (std::size_t i = first; i < last && locations[i] <= file_size - std::min<uint64_t>(file_size, kApertureHeaderSize);
             ++i)
            extents.push_back({locations[i], kApertureHeaderSize});
        read_planned(file_, extents, [&](std::size_t k, const uint8_t* bytes) {
            ApertureHeader& header = headers[first + k];
            header.aperture_byteloc = locations[first + k];
            std::copy_n(bytes, kApertureHeaderSize, header.bytes.begin());
            require_within(file_size, header.aperture_byteloc, header.block_size());
        });
        for (std::size_t i = first + extents.size(); i < last; ++i) {
            headers[i] = read_block_header(locations[i]);
            require_within(file_size, headers[i].aperture_byteloc, headers[i].block_size());
        }
    };
    // Two threads halve a long list. The front half's error comes first, as in order.
    if (locations.size() < kTwoThreadHeaders || !may_share_work()) {
        read_range(0, locations.size());
    } else {
        const std::size_t split = locations.size() / 2;
        run_both([&] { read_range(0, split); }, [&] { read_range(split, locations.size()); });
    }
    return headers;
}

template <class Visit>
void PulseReader::visit_records(std::span<const ApertureHeader> headers, Visit&& visit) const {
    std::vector<Extent> blocks(headers.size());
    for (std::size_t i = 0; i < headers.size(); ++i) blocks[i] = {headers[i].aperture_byteloc, headers[i].block_size()};
    read_planned(file_, blocks, [&](std::size_t i, const uint8_t* block) {
        if (block != nullptr) {
            visit(i, block + kApertureHeaderSize, std::size_t(headers[i].record_count()), uint64_t(0));
            return;
        }
        RecordPieces pieces(file_, file_size_, headers[i]);
        while (pieces.next()) visit(i, pieces.bytes(), pieces.piece_count(), uint64_t(pieces.first_position()));
    });
}

ApertureRecords PulseReader::get_all_records(uint64_t aperture) const {
    ApertureRecords result;
    result.header = read_aperture_header(aperture);
    RecordColumns& records = result.records;
    const LaneDecoder decoder(encoding_records_);
    // Decodes records [first, last) into their rows; returns the running start_f total of the
    // range alone.
    auto decode_range = [&](std::size_t first, std::size_t last) {
        RecordPieces pieces(file_, file_size_, result.header, first, last);
        uint32_t total = 0;
        while (pieces.next())
            total = records.decode_into(pieces.bytes(), pieces.piece_count(), pieces.first_position(), total, decoder);
        return total;
    };

    // The count comes from the file: it is checked against the file's length before anything
    // is reserved.
    const std::size_t count = result.header.record_count();
    require_within(file_size_, result.header.aperture_byteloc + kApertureHeaderSize, uint64_t(count) * kRecordSize);
    records.reserve(count);
    if (count < kTwoThreadRecords || !may_share_work()) {
        decode_range(0, count);
    } else {
        // Two halves side by side; the split is a whole number of groups of eight, so the
        // halves never write the same rows. The second half's start_f counts from 0 until the
        // first half's total is known.
        const std::size_t split = count / 2 / simd::kLanes * simd::kLanes;
        uint32_t first_total = 0;
        run_both([&] { first_total = decode_range(0, split); }, [&] { decode_range(split, count); });
        records.add_to_start_f(split, count, first_total);
    }
    records.mark_filled(count);
    return result;
}

void PulseReader::build_records(const ApertureHeader& header, PulseBuilder& builder, std::size_t first,
                                std::size_t last, bool skip) const {
    RecordPieces pieces(file_, file_size_, header, first, last);
    while (pieces.next()) {
        if (skip)
            builder.skip(pieces.bytes(), pieces.piece_count());
        else
            builder.append(pieces.bytes(), pieces.piece_count(), pieces.first_position());
    }
}

AperturePulses PulseReader::get_pulses(uint64_t aperture, const PulseFilter* filter) const {
    AperturePulses result;
    result.header = read_aperture_header(aperture);
    PulseColumns& pulses = result.pulses;
    // The count comes from the file: it is checked against the file's length before anything
    // is reserved. The reserve is an upper bound (a pulse per record): pages of it that no
    // pulse reaches are never touched.
    const std::size_t count = result.header.record_count();
    require_within(file_size_, result.header.aperture_byteloc + kApertureHeaderSize, uint64_t(count) * kRecordSize);
    pulses.reserve(count);
    const LaneDecoder decoder(encoding_records_);

    PulseBuilder front(fps_, decoder, filter, pulses, 0, aperture);
    if (count < kTwoThreadRecords || !may_share_work()) {
        build_records(result.header, front, 0, count);
        pulses.mark_filled(front.row());
        return result;
    }
    // Two parts side by side. The back part's builder first runs the clock over the front
    // part's records, so that it places its pulses on the aperture's clock, and leaves a row
    // for each pulse of the front part. Reading the front part's records again and running
    // the clock over them costs about a third of building them (measured from 100,000 to
    // 2,000,000 records), so the front part takes three fifths of the records.
    const std::size_t split = count / 5 * 3;
    PulseBuilder back(fps_, decoder, filter, pulses, 0, aperture);
    std::size_t back_first_row = 0;
    run_both([&] { build_records(result.header, front, 0, split); },
             [&] {
                 build_records(result.header, back, 0, split, true);
                 back_first_row = back.row();
                 build_records(result.header, back, split, count);
             });
    // With recalc_ipd, the back part's first kept pulse counts from the front part's last.
    if (filter != nullptr && filter->recalc_ipd && front.any_written() && back.row() > back_first_row) {
        const uint32_t ipd = pulses.start_f()[back_first_row] - front.last_written_end();
        pulses.ipd_f()[back_first_row] = ipd;
        pulses.ipd_s()[back_first_row] = float(ipd) / fps_;
    }
    // A filter may have dropped front pulses: close the gap.
    close_gap(pulses, back_first_row, back.row(), front.row());
    pulses.mark_filled(front.row() + (back.row() - back_first_row));
    return result;
}

PulseColumns PulseReader::get_pulses_many(std::span<const uint64_t> apertures, const PulseFilter* filter) const {
    // Every block header first: the record counts, each checked against the file's length,
    // bound the result (a pulse per record at most) and split the work.
    const std::vector<ApertureHeader> headers = read_aperture_headers(apertures);
    return get_pulses_many(apertures, headers, filter);
}

PulseColumns PulseReader::get_pulses_many(std::span<const uint64_t> apertures, std::span<const ApertureHeader> headers,
                                          const PulseFilter* filter, std::size_t min_rows) const {
    std::size_t total = 0;
    for (const ApertureHeader& header : headers) total += header.record_count();
    PulseColumns pulses;
    const std::size_t room = std::max(total, min_rows);
    pulses.reserve(room, room_pages(min_rows));
    const LaneDecoder decoder(encoding_records_);
    // Builds the pulses of apertures [begin, end) from row `row` on; with `to_room_end`, every
    // row past those it writes is its own.
    auto build_apertures = [&](std::size_t begin, std::size_t end, std::size_t row, bool to_room_end) {
        PulseBuilder builder(fps_, decoder, filter, pulses, row, 0);
        if (to_room_end) builder.write_freely_below(room);
        visit_records(headers.subspan(begin, end - begin),
                      [&](std::size_t k, const uint8_t* bytes, std::size_t count, uint64_t first_position) {
                          const uint64_t aperture = apertures[begin + k];
                          if (first_position == 0) builder.start_aperture(aperture);
                          naming_unsorted(aperture, [&] { builder.append(bytes, count, first_position); });
                      });
        return builder.row();
    };

    // Two runs of apertures side by side, split where the front run holds a little more
    // than half of the records: the back run first counts the front run's pulses, so that
    // it knows where its own go.
    const std::size_t split = split_by_records(headers, 11);
    std::size_t front_end = 0, back_first_row = 0, back_end = 0;
    if (split == 0 || split == apertures.size()) {
        front_end = back_first_row = back_end = build_apertures(0, apertures.size(), 0, true);
    } else {
        run_both([&] { front_end = build_apertures(0, split, 0, false); },
                 [&] {
                     PulseBuilder counter(fps_, decoder, nullptr, pulses, 0, 0);
                     visit_records(headers.first(split), [&](std::size_t, const uint8_t* bytes, std::size_t count,
                                                             uint64_t) { counter.skip(bytes, count); });
                     back_first_row = counter.row();
                     back_end = build_apertures(split, apertures.size(), back_first_row, true);
                 });
    }
    // A filter may have dropped front pulses: close the gap.
    close_gap(pulses, back_first_row, back_end, front_end);
    pulses.mark_filled(back_end - (back_first_row - front_end));
    return pulses;
}

ManyApertureRecords PulseReader::get_all_records_many(std::span<const uint64_t> apertures) const {
    const std::vector<ApertureHeader> headers = read_aperture_headers(apertures);
    return get_all_records_many(apertures, headers);
}

ManyApertureRecords PulseReader::get_all_records_many(std::span<const uint64_t> apertures,
                                                      std::span<const ApertureHeader> headers,
                                                      std::size_t min_rows) const {
    // The counts were checked against the file's length with their headers.
    std::size_t total = 0;
    for (const ApertureHeader& header : headers) total += header.record_count();
    ManyApertureRecords result;
    const std::size_t rows = std::max(total, min_rows);
    result.records.reserve(rows, room_pages(min_rows));
    result.aperture_index.reserve(rows, room_pages(min_rows));
    result.position.reserve(rows, room_pages(min_rows));
    uint64_t* const aperture_index = result.aperture_index.data();
    int64_t* const position = result.position.data();
    const LaneDecoder decoder(encoding_records_);
    // Decodes apertures [begin, end) into the rows from `row` on, writing no row from
    // `row_limit` on. Records are decoded in whole groups of eight: an aperture's last group
    // spills past its own rows, into rows that the next aperture then writes over; a group
    // that would reach past the limit (that of the last aperture, or of one before a few
    // short ones) is decoded exactly, for those rows are another thread's or no room at all.
    // The room then needs no spare rows, which would take a huge page more per column.
    auto decode_apertures = [&](std::size_t begin, std::size_t end, std::size_t row, std::size_t row_limit) {
        std::size_t first_row = row;  // of the aperture being decoded
        uint32_t running_start = 0;
        visit_records(headers.subspan(begin, end - begin), [&](std::size_t k, const uint8_t* bytes, std::size_t count,
                                                               uint64_t first_position) {
            const std::size_t i = begin + k;
            const std::size_t records = headers[i].record_count();
            if (first_position == 0) {
                first_row = row;
                row += records;
                running_start = 0;
                const uint64_t number = apertures[i];
                for (std::size_t r = 0; r < records; ++r) aperture_index[first_row + r] = number;
                for (std::size_t r = 0; r < records; ++r) position[first_row + r] = int64_t(r);
            }
            const std::size_t at = first_row + first_position;
            const bool spills = row_limit - at < (count + simd::kLanes - 1) / simd::kLanes * simd::kLanes;
            running_start = spills ? result.records.decode_exactly_into(bytes, count, at, running_start, decoder)
                                   : result.records.decode_into(bytes, count, at, running_start, decoder);
        });
    };
    // Two runs of apertures side by side, split where the front run holds half of the records.
    const std::size_t split = split_by_records(headers, 10);
    if (split == 0 || split == apertures.size()) {
        decode_apertures(0, apertures.size(), 0, rows);
    } else {
        std::size_t front_records = 0;
        for (const ApertureHeader& header : headers.first(split)) front_records += header.record_count();
        run_both([&] { decode_apertures(0, split, 0, front_records); },
                 [&] { decode_apertures(split, apertures.size(), front_records, rows); });
    }
    result.records.mark_filled(total);
    result.aperture_index.mark_filled(total);
    result.position.mark_filled(total);
    return result;
}

template <class Visit>
void PulseReader::visit_blocks_in_one_pass(std::span<const uint64_t> apertures, Visit&& visit) const {
    std::vector<uint64_t> locations(apertures.size());
    try {
        for (std::size_t i = 0; i < apertures.size(); ++i) locations[i] = index_.get(apertures[i]);
    } catch (...) {
        // An aperture that cannot be located fails as in every other query: after the
        // headers before it, whose own errors come first.
        read_aperture_headers(apertures);
        throw;
    }
    const uint64_t last_header_offset = file_size_ - std::min<uint64_t>(file_size_, kApertureHeaderSize);

    // No header pass first: a block's header comes with the span of file from its location
    // to the next aperture's, which for blocks back to back is the whole block. A block that
    // runs past its span (scattered, repeated or last in the list) has the rest of its
    // records read on their own.
    auto span_of = [&](std::size_t i) {
        const uint64_t location = locations[i];
        uint64_t end = location + kApertureHeaderSize;
        if (i + 1 < locations.size() && locations[i + 1] > end) end = std::min(locations[i + 1], file_size_);
        return Extent{location, end - location};
    };
    auto visit_run = [&](std::size_t part, std::size_t begin, std::size_t end) {
        // Spans up to the first header that lies past the file's end, which is then read
        // alone to fail with the error of its own read.
        std::vector<Extent> spans;
        spans.reserve(end - begin);
        for (std::size_t i = begin; i < end && locations[i] <= last_header_offset; ++i) spans.push_back(span_of(i));
        read_planned(file_, spans, [&](std::size_t k, const uint8_t* span) {
            const std::size_t i = begin + k;
            ApertureHeader header;
            if (span == nullptr) {
                header = read_block_header(locations[i]);
            } else {
                header.aperture_byteloc = locations[i];
                std::copy_n(span, kApertureHeaderSize, header.bytes.begin());
            }
            require_within(file_size_, header.aperture_byteloc, header.block_size());
            auto records = [&](auto&& add) {
                if (span != nullptr && header.block_size() <= spans[k].length) {
                    add(span + kApertureHeaderSize, std::size_t(header.record_count()));
                } else {
                    RecordPieces pieces(file_, file_size_, header);
                    while (pieces.next()) add(pieces.bytes(), pieces.piece_count());
                }
            };
            visit(part, i, header, records);
        });
        if (begin + spans.size() < end) read_block_header(locations[begin + spans.size()]);
    };
    // Rows are independent: two runs of apertures side by side, split where the front run's
    // spans hold half of the bytes. The front run's error comes first, as in order.
    uint64_t total = 0;
    for (std::size_t i = 0; i < locations.size(); ++i) total += span_of(i).length;
    std::size_t split = 0;
    if (may_share_work() && (total >= kTwoThreadRecords * kRecordSize || locations.size() >= kTwoThreadHeaders))
        for (uint64_t front = 0; split < locations.size() && front < total / 2; ++split) front += span_of(split).length;
    if (split == 0 || split == apertures.size())
        visit_run(0, 0, apertures.size());
    else
        run_both([&] { visit_run(0, 0, split); }, [&] { visit_run(1, split, apertures.size()); });
}

ApertureSummaries PulseReader::summary(std::span<const uint64_t> apertures, const PulseFilter* filter) const {
    ApertureSummaries result;
    result.reserve(apertures.size());
    result.rows = apertures.size();
    const LaneDecoder decoder(encoding_records_);
    constexpr double kNoMean = std::numeric_limits<double>::quiet_NaN();
    auto mean = [](double total, uint64_t count) { return count == 0 ? kNoMean : total / double(count); };
    PulseColumns no_rows;  // a builder that sums writes no rows
    std::array<PulseBuilder, 2> builders{PulseBuilder(fps_, decoder, filter, no_rows, 0, 0),
                                         PulseBuilder(fps_, decoder, filter, no_rows, 0, 0)};
    // Each part's rows that failed the order check, with the check's message.
    using RowErrors = std::vector<std::pair<std::size_t, std::string>>;
    std::array<RowErrors, 2> errors;
    visit_blocks_in_one_pass(apertures, [&](std::size_t part, std::size_t i, const ApertureHeader& header,
                                            auto&& records) {
        PulseBuilder& builder = builders[part];
        builder.start_aperture(apertures[i]);
        PulseSums sums;
        bool failed = false;
        records([&](const uint8_t* bytes, std::size_t count) {
            if (failed) return;
            try {
                builder.add_to_sums(bytes, count, sums);
            } catch (const Error& error) {
                // The order check fails this aperture alone; the summary goes on with the next.
                if (error.message() != kUnsortedPulsesMessage) throw;
                sums = PulseSums{};
                failed = true;
                errors[part].emplace_back(i, error.message());
            }
        });
        result.frames.column(0)[i] = header.aperture_x();
        result.frames.column(1)[i] = header.aperture_y();
        result.frames.column(2)[i] = sums.first_start_f;
        result.frames.column(3)[i] = sums.last_end_f;
        result.counts.column(0)[i] = header.record_count();
        result.counts.column(1)[i] = sums.pulses;
        result.counts.column(2)[i] = sums.nonfinite;
        result.means.column(0)[i] = mean(sums.dur_f, sums.pulses);
        result.means.column(1)[i] = mean(sums.ipd_f, sums.pulses - std::min<uint64_t>(sums.pulses, 1));
        result.means.column(2)[i] = mean(sums.snr, sums.finite_snr);
        result.means.column(3)[i] = mean(sums.intensity, sums.finite_intensity);
        result.means.column(4)[i] = mean(sums.binratio, sums.finite_binratio);
    });
    result.errors = std::move(errors[0]);
    result.errors.insert(result.errors.end(), errors[1].begin(), errors[1].end());
    return result;
}

RecordKindCounts PulseReader::record_kinds(std::span<const uint64_t> apertures) const {
    RecordKindCounts result;
    result.counts.reserve(apertures.size());
    result.rows = apertures.size();
    visit_blocks_in_one_pass(apertures, [&](std::size_t, std::size_t i, const ApertureHeader&, auto&& records) {
        RecordKindTotals totals{};
        records([&](const uint8_t* bytes, std::size_t count) { add_record_kinds(bytes, count, totals); });
        for (std::size_t type = 0; type < totals.size(); ++type) result.counts.column(type)[i] = totals[type];
    });
    return result;
}

}  // namespace zpr

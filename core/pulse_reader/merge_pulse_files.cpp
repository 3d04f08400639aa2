// Merging pulse files that are row strips of one aperture grid.
//
// Every input after the first is placed below the inputs before it: its aperture_y values
// are shifted by the rows of the earlier inputs and its aperture numbers by their
// rows x cols. Records are copied as raw bytes. The merged metadata is input 1's with the
// grid size and well counts recomputed, written compactly with keys in ascending order.
//
// Only strips of one run are merged: every input must carry the first input's encoding
// records, "fps" and "cols", which the merged file takes from the first input alone. A strip
// of another run would otherwise have its records decoded with the wrong encodings, its
// times counted at the wrong rate and its apertures placed on the wrong grid.
//
// Everything that can be checked is checked before the output is created, so a refused
// merge leaves nothing behind: the inputs' run, metadata members, aperture numbers, block
// extents (those of inputs merged in one pass are checked on the way, and a block that
// disagrees removes the output before the merge starts again the careful way).
#include "error.hpp"
#include "pulse_reader/block_copies.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace zpr {

namespace {

uint64_t required_member(const PulseReader& reader, const char* key) {
    auto value = unsigned_member(reader.metadata(), key);
    if (!value) throw InternalFault(std::string(key) + " missing or invalid");
    return *value;
}

// Grid geometry of one input as read from its metadata.
struct Strip {
    uint64_t rows;
    uint64_t cols;
    // rows x cols on the low 32 bits, as the aperture numbers are shifted.
    uint32_t apertures_per_strip() const { return uint32_t(rows) * uint32_t(cols); }
};

struct Totals {
    uint64_t aperture_count = 0;
    uint64_t valid_wells = 0;
    uint64_t valid_wells_left = 0;
    uint64_t valid_wells_right = 0;
    uint64_t rows = 0;
    uint64_t min_roi_offset_col = UINT64_MAX;
    uint64_t max_roi_end_col = 0;
};

Totals read_totals(const std::vector<const PulseReader*>& readers) {
    Totals t;
    for (const PulseReader* reader : readers) {
        t.aperture_count += reader->header().aperture_count;
        t.valid_wells += required_member(*reader, "validWells");
        t.valid_wells_left += required_member(*reader, "validWellsLeft");
        t.valid_wells_right += required_member(*reader, "validWellsRight");
        t.rows += required_member(*reader, "rows");
        const uint64_t roi_offset_col = required_member(*reader, "roi_offset_col");
        const uint64_t roi_cols = required_member(*reader, "roi_cols");
        t.min_roi_offset_col = std::min(t.min_roi_offset_col, roi_offset_col);
        t.max_roi_end_col = std::max(t.max_roi_end_col, roi_offset_col + roi_cols);
    }
    return t;
}

Json merged_metadata(const Json& first, const Totals& t) {
    Json merged = first;
    merged["rows"] = t.rows;
    merged["validWells"] = t.valid_wells;
    merged["validWellsLeft"] = t.valid_wells_left;
    merged["validWellsRight"] = t.valid_wells_right;
    merged["roi_cols"] = t.max_roi_end_col - t.min_roi_offset_col;
    merged["roi_rows"] = t.rows;
    merged["roi_offset_col"] = t.min_roi_offset_col;
    return merged;
}

Message describe_input(std::size_t k, const PulseReader& reader) {
    return Message("input " + std::to_string(k + 1) + " (").name(reader.path()).text(")");
}

// Refuses an input that is not a strip of the first input's run (see the top of this file).
void check_same_run(const std::vector<const PulseReader*>& readers, const std::vector<Strip>& strips) {
    const PulseReader& first = *readers.front();
    auto refuse = [&](std::size_t k, const std::string& what) {
        Error error(Message("Cannot merge ").name(readers[k]->path()).text(": its " + what).name(first.path()));
        error.add_note(Message("only strips of one run can be merged"));
        throw error;
    };
    // "fps" as the file writes it (a reader's metadata always holds it).
    auto fps = [](const PulseReader& reader) { return reader.metadata()["fps"].dump(); };
    for (std::size_t k = 1; k < readers.size(); ++k) {
        const auto& records = readers[k]->encoding_records();
        for (std::size_t i = 0; i < records.size(); ++i)
            if (!records[i].same_bytes(first.encoding_records()[i]))
                refuse(k, "encoding records differ from those of ");
        if (readers[k]->fps() != first.fps())
            refuse(k, "\"fps\" (" + fps(*readers[k]) + ") differs from the \"fps\" (" + fps(first) + ") of ");
        if (strips[k].cols != strips[0].cols)
            refuse(k, "\"cols\" (" + std::to_string(strips[k].cols) + ") differs from the \"cols\" (" +
                          std::to_string(strips[0].cols) + ") of ");
    }
}

Error already_exists(const std::string& file_name) {
    return Error(Message("File ").name(file_name).text(" already exists"));
}

// The merged index must ascend and hold 32-bit numbers, or this reader could not open the
// result (or would silently shadow apertures). Shifts are taken exactly here: when every
// shifted number fits in 32 bits, the 32-bit shifts written later give the same numbers.
void check_merged_numbers(const std::vector<const PulseReader*>& readers, const std::vector<Strip>& strips) {
    unsigned __int128 shift = 0;
    bool have_previous = false;
    unsigned __int128 previous = 0;
    for (std::size_t k = 0; k < readers.size(); ++k) {
        const auto& apertures = readers[k]->index().apertures();
        for (std::size_t i = 0; i < apertures.size(); ++i) {
            const unsigned __int128 merged = apertures[i] + shift;
            if (merged > UINT32_MAX)
                throw Error(Message("Cannot merge: aperture " + std::to_string(apertures[i]) + " of ")
                                .append(describe_input(k, *readers[k]))
                                .text(" does not fit in 32 bits after its shift of " + std::to_string(uint64_t(shift))));
            if (have_previous && i == 0 && merged <= previous)
                throw Error(Message("Cannot merge: the aperture numbers of ")
                                .append(describe_input(k, *readers[k]))
                                .text(" do not ascend after those of the inputs before it"));
            previous = merged;
            have_previous = true;
        }
        shift += static_cast<unsigned __int128>(strips[k].rows) * strips[k].cols;
    }
}

// Every input's block sizes, as record counts, input by input in index order, each block
// checked to lie inside its file. A listed aperture that does not resolve (its location is
// 0) breaks the merge's assumptions: an internal fault.
std::vector<std::vector<uint32_t>> planned_record_counts(const std::vector<const PulseReader*>& readers) {
    std::vector<std::vector<uint32_t>> counts;
    for (std::size_t k = 0; k < readers.size(); ++k) {
        const PulseReader* reader = readers[k];
        auto locate = [&](uint64_t aperture) {
            try {
                return reader->index().get(aperture);
            } catch (const Error& error) {
                throw InternalFault("Invalid aperture index encountered: " + error.message());
            }
        };
        counts.push_back(noting([&] { return Message("while reading the blocks of ").append(describe_input(k, *reader)); },
                                [&] {
                                    return reader->read_record_counts(reader->index().apertures(), locate,
                                                                      reader->file().size());
                                }));
    }
    return counts;
}

// Writes the merge of `readers` into `new_file_name`, which it creates, on the blocks' record
// counts, input by input; `on_other_count` throws when a block's header says otherwise.
void write_merged(const std::vector<const PulseReader*>& readers, const std::vector<Strip>& strips,
                  const Totals& totals, const std::string& metadata, uint64_t data_offset,
                  const std::vector<std::vector<uint32_t>>& record_counts, const std::string& new_file_name,
                  const std::function<void(std::size_t)>& on_other_count) {
    const PulseReader& first = *readers.front();
    uint64_t data_size = 0;
    for (const auto& counts : record_counts)
        for (uint32_t count : counts) data_size += block_size(count);
    const uint64_t index_offset = data_offset + data_size;

    File output = [&] {
        try {
            return File::create_exclusive(new_file_name);
        } catch (const Error&) {
            // Something appeared at the path after the check above: never overwrite it.
            struct stat existing {};
            if (::stat(new_file_name.c_str(), &existing) == 0)
                throw already_exists(new_file_name);
            throw;
        }
    }();
    BufferedWriter writer(std::move(output));

    PulseFileHeader header = first.header();
    header.aperture_count = totals.aperture_count;
    header.metadata_length = uint32_t(metadata.size());
    header.data_offset = data_offset;
    header.index_offset = index_offset;
    writer.write(header.to_bytes());

    writer.write_from(first.file(), kPulseFileHeaderSize,
                      kEncodingRecordSize * first.header().encoding_record_count);
    writer.write(std::span(reinterpret_cast<const uint8_t*>(metadata.data()), metadata.size()));
    const uint64_t metadata_position = writer.position();
    if (metadata_position > data_offset) throw Error("Stream position exceeds new data offset");
    writer.write_zeros(data_offset - metadata_position);
    if (writer.position() != data_offset) throw Error("Stream position mismatch");

    // Blocks, input by input, with aperture_y and the aperture number shifted, back to back
    // from data_offset: the index below follows from their sizes.
    uint32_t row_shift = 0;
    uint32_t aperture_shift = 0;
    for (std::size_t k = 0; k < readers.size(); ++k) {
        noting([&] { return Message("while copying the blocks of ").append(describe_input(k, *readers[k])); },
               [&] {
                   copy_aperture_blocks(writer, *readers[k], readers[k]->index().apertures(), record_counts[k],
                                        {row_shift, aperture_shift}, on_other_count);
               });
        row_shift += uint32_t(strips[k].rows);
        aperture_shift += strips[k].apertures_per_strip();
    }
    if (writer.position() != index_offset) throw Error("Stream position mismatch");

    writer.write_u64(kIndexMagic);
    aperture_shift = 0;
    uint64_t location = data_offset;
    for (std::size_t k = 0; k < readers.size(); ++k) {
        const auto& apertures = readers[k]->index().apertures();
        for (std::size_t i = 0; i < apertures.size(); ++i) {
            writer.write_u32(uint32_t(apertures[i]) + aperture_shift);
            writer.write_u64(location);
            location += block_size(record_counts[k][i]);
        }
        aperture_shift += strips[k].apertures_per_strip();
    }
    writer.flush();
}

// The merge of at least one input.
void merge_into(const std::vector<const PulseReader*>& readers, const std::string& new_file_name) {
    struct stat existing {};
    if (::stat(new_file_name.c_str(), &existing) == 0) throw already_exists(new_file_name);

    const Totals totals = read_totals(readers);
    std::vector<Strip> strips;
    for (const PulseReader* reader : readers)
        strips.push_back({required_member(*reader, "rows"), required_member(*reader, "cols")});
    check_same_run(readers, strips);
    check_merged_numbers(readers, strips);

    const PulseReader& first = *readers.front();
    // Input 1's data_offset sets the new one and the padding. One that lies inside input 1's
    // metadata, or beyond its file, is damage and would otherwise have the merge write an
    // absurd amount of zeros.
    if (first.header().data_offset < first.header().metadata_length ||
        first.header().data_offset > first.file().size())
        throw Error("Invalid data offset: " + std::to_string(first.header().data_offset));
    const std::string metadata = serialize_compact(merged_metadata(first.metadata(), totals));
    const uint64_t metadata_end = kMetadataOffset + metadata.size();
    const uint64_t data_offset =
        (first.header().data_offset - first.header().metadata_length + uint32_t(metadata.size()) + 15) & ~uint64_t(15);
    if (metadata_end > data_offset) throw Error("Stream position exceeds new data offset");
    // Inputs whose blocks lie back to back, as writers lay them out, are merged in one pass on
    // the sizes their indexes imply (block_copies.hpp); a header that disagrees removes the
    // output, which this merge created, and the merge starts again on every header read first.
    std::vector<std::vector<uint32_t>> hypothesis;
    for (const PulseReader* reader : readers) {
        auto counts = counts_of_one_run(reader->index(), reader->file(), reader->index().apertures(),
                                        reader->file().size());
        if (!counts) break;
        hypothesis.push_back(std::move(*counts));
    }
    if (hypothesis.size() == readers.size()) {
        try {
            write_merged(readers, strips, totals, metadata, data_offset, hypothesis, new_file_name,
                         [](std::size_t) { throw NotOneRun{}; });
            return;
        } catch (const NotOneRun&) {
            ::unlink(new_file_name.c_str());
        }
    }
    hypothesis = {};
    // The plan sized every block from its header; one that now says otherwise was changed
    // under the merge.
    write_merged(readers, strips, totals, metadata, data_offset, planned_record_counts(readers), new_file_name,
                 [](std::size_t) { throw InternalFault("Aperture block changed while being merged"); });
}

}  // namespace

void merge_pulse_files(const std::vector<const PulseReader*>& readers, const std::string& new_file_name) {
    if (readers.empty()) throw Error("No pulse files provided");
    noting([&] { return Message("while merging into ").name(new_file_name); },
           [&] { merge_into(readers, new_file_name); });
}

}  // namespace zpr

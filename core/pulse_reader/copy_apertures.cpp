// Copying chosen apertures of an open pulse file into a new file.
//
// Nothing is decoded: the new header is the source's with aperture_count and index_offset
// recomputed, everything from byte 48 up to data_offset (encoding records, metadata,
// padding) is copied byte for byte, the chosen blocks are packed back to back from
// data_offset in ascending aperture order, and a new index follows the last block.
//
// The new header needs every chosen block's size before the first byte goes out, and every
// block is checked to lie in the source before the output is touched. Reading every block
// header first costs a read of the whole data for a run of small blocks, as much again as the
// copy. So when the chosen blocks lie back to back in aperture order, as a writer lays out a
// run, their sizes are taken from the index (each block ends where the next begins) and every
// header is checked against them while the bytes pass through, in one pass. A header that
// disagrees sends the copy back to the careful way: read every header, then copy.
#include "error.hpp"
#include "pulse_reader/block_copies.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace zpr {

namespace {

// Creating the output truncates it, so writing over the source would destroy the data
// before it is read. The same file is recognised by device and inode, whatever the path.
bool is_own_source(const File& source, const std::string& file_name) {
    struct stat target {};
    if (::stat(file_name.c_str(), &target) != 0) return false;
    return target.st_dev == source.device() && target.st_ino == source.inode();
}

void refuse_own_source(const File& source, const std::string& file_name) {
    if (is_own_source(source, file_name))
        throw Error(Message("Cannot copy apertures into the pulse file they are read from: ").name(file_name));
}

uint64_t data_size(const std::vector<uint32_t>& record_counts) {
    uint64_t size = 0;
    for (uint32_t count : record_counts) size += block_size(count);
    return size;
}

// The header with the new count and index offset, then the source's bytes up to data_offset.
void write_head(BufferedWriter& writer, const PulseReader& reader, uint64_t aperture_count, uint64_t index_offset) {
    PulseFileHeader header = reader.header();
    header.aperture_count = aperture_count;
    header.index_offset = index_offset;
    writer.write(header.to_bytes());
    writer.write_from(reader.file(), kPulseFileHeaderSize, reader.header().data_offset - kPulseFileHeaderSize);
}

// The blocks went out back to back from data_offset, in ascending order. Entries are laid
// out a few thousand at a time, so that a run of millions costs few writes.
void write_index(BufferedWriter& writer, uint64_t data_offset, const std::vector<uint64_t>& apertures,
                 const std::vector<uint32_t>& record_counts) {
    writer.write_u64(kIndexMagic);
    std::array<uint8_t, 4096 * kIndexEntrySize> entries;
    uint64_t location = data_offset;
    for (std::size_t first = 0; first < apertures.size(); first += 4096) {
        const std::size_t count = std::min<std::size_t>(4096, apertures.size() - first);
        for (std::size_t i = 0; i < count; ++i) {
            store_u32(entries.data() + i * kIndexEntrySize, uint32_t(apertures[first + i]));
            store_u64(entries.data() + i * kIndexEntrySize + 4, location);
            location += block_size(record_counts[first + i]);
        }
        writer.write(std::span(entries.data(), count * kIndexEntrySize));
    }
}

// The copy of blocks that lie back to back, in one pass. The output is created only where
// nothing is, so that a copy sent back to the careful way can remove it and leave everything
// as it was; returns false when it did so, or could not create the output.
bool copy_one_run(const PulseReader& reader, const std::vector<uint64_t>& apertures,
                  const std::vector<uint32_t>& record_counts, const std::string& file_name) {
    std::optional<File> output;
    try {
        output = File::create_exclusive(file_name);
    } catch (const Error&) {
        return false;
    }
    const uint64_t data_offset = reader.header().data_offset;
    try {
        BufferedWriter writer(std::move(*output));
        write_head(writer, reader, apertures.size(), data_offset + data_size(record_counts));
        copy_aperture_blocks(writer, reader, apertures, record_counts, {}, [](std::size_t) { throw NotOneRun{}; });
        write_index(writer, data_offset, apertures, record_counts);
        writer.flush();
    } catch (const NotOneRun&) {
        ::unlink(file_name.c_str());
        return false;
    }
    return true;
}

}  // namespace

void PulseReader::copy_apertures_to_new_file(std::vector<uint64_t> apertures, const std::string& file_name) const {
    noting([&] { return Message("while copying apertures of ").name(path_).text(" into ").name(file_name); },
           [&] { copy_into(std::move(apertures), file_name); });
}

void PulseReader::copy_into(std::vector<uint64_t> apertures, const std::string& file_name) const {
    if (header_.data_offset < kPulseFileHeaderSize)
        throw Error("Invalid data offset: " + std::to_string(header_.data_offset));

    // A whole run's list usually comes in order: checking is far cheaper than sorting.
    if (!std::is_sorted(apertures.begin(), apertures.end())) std::sort(apertures.begin(), apertures.end());
    const uint64_t file_size = file_.size();
    const uint64_t leading_length = header_.data_offset - kPulseFileHeaderSize;
    const bool leading_within = kPulseFileHeaderSize <= file_size && leading_length <= file_size - kPulseFileHeaderSize;
    if (leading_within && !is_own_source(file_, file_name))
        if (auto counts = counts_of_one_run(index_, file_, apertures, file_size))
            if (copy_one_run(*this, apertures, *counts, file_name)) return;

    // Check that the source holds every block, before the output is touched. Only the
    // record counts are kept: a block's location is the index's, and its new one follows
    // from the sizes before it.
    const std::vector<uint32_t> record_counts =
        read_record_counts(apertures, [&](uint64_t aperture) { return index_.get(aperture); }, file_size);
    require_within(file_size, kPulseFileHeaderSize, leading_length);
    refuse_own_source(file_, file_name);

    BufferedWriter writer(File::create_truncate(file_name));
    write_head(writer, *this, apertures.size(), header_.data_offset + data_size(record_counts));

    // Neighbouring blocks are read together, whether or not they are all chosen. The plan sized
    // every block from its header; one that now says otherwise was changed under the copy.
    copy_aperture_blocks(writer, *this, apertures, record_counts, {},
                         [](std::size_t) { throw InternalFault("Aperture block changed while being copied"); });
    write_index(writer, header_.data_offset, apertures, record_counts);
    writer.flush();
}

}  // namespace zpr

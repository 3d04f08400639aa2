// Copying chosen apertures of an open pulse file into a new file.
//
// Nothing is decoded: the new header is the source's with aperture_count and index_offset
// recomputed, everything from byte 48 up to data_offset (encoding records, metadata,
// padding) is copied byte for byte, the chosen blocks are packed back to back from
// data_offset in ascending aperture order, and a new index follows the last block.
#include "error.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <algorithm>
#include <sys/stat.h>

namespace zpr {

namespace {

// Creating the output truncates it, so writing over the source would destroy the data
// before it is read. The same file is recognised by device and inode, whatever the path.
void refuse_own_source(const File& source, const std::string& file_name) {
    struct stat target {};
    if (::stat(file_name.c_str(), &target) != 0) return;
    if (target.st_dev == source.device() && target.st_ino == source.inode())
        throw Error(Message("Cannot copy apertures into the pulse file they are read from: ").name(file_name));
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

    // Check that the source holds every block, before the output is touched. Only the
    // record counts are kept: a block's location is the index's, and its new one follows
    // from the sizes before it.
    const uint64_t file_size = file_.size();
    const std::vector<uint32_t> record_counts =
        read_record_counts(apertures, [&](uint64_t aperture) { return index_.get(aperture); }, file_size);
    uint64_t index_offset = header_.data_offset;
    for (uint32_t count : record_counts) index_offset += block_size(count);
    const uint64_t leading_length = header_.data_offset - kPulseFileHeaderSize;
    require_within(file_size, kPulseFileHeaderSize, leading_length);
    refuse_own_source(file_, file_name);

    BufferedWriter writer(File::create_truncate(file_name));
    PulseFileHeader header = header_;
    header.aperture_count = apertures.size();
    header.index_offset = index_offset;
    writer.write(header.to_bytes());

    writer.write_from(file_, kPulseFileHeaderSize, leading_length);

    // Blocks that follow each other in the source go out in one copy: copying every aperture
    // of a file whose blocks lie back to back is one copy of its data.
    for (std::size_t i = 0; i < apertures.size();) {
        const uint64_t start = index_.get(apertures[i]);
        uint64_t end = start + block_size(record_counts[i]);
        for (++i; i < apertures.size() && index_.get(apertures[i]) == end; ++i) end += block_size(record_counts[i]);
        writer.write_from(file_, start, end - start);
    }

    // The blocks went out back to back from data_offset, in ascending order.
    writer.write_u64(kIndexMagic);
    uint64_t location = header_.data_offset;
    for (std::size_t i = 0; i < apertures.size(); ++i) {
        writer.write_u32(uint32_t(apertures[i]));
        writer.write_u64(location);
        location += block_size(record_counts[i]);
    }
    writer.flush();
}

}  // namespace zpr

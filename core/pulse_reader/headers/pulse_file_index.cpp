#include "pulse_reader/headers/pulse_file_index.hpp"

#include "error.hpp"
#include "file_io.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace zpr {

namespace {

// The dense table is kept while it costs at most this many slots per entry (plus a small
// constant), so its memory stays proportional to the number of entries.
constexpr uint64_t kMaxSlotsPerEntry = 4;
constexpr uint64_t kAlwaysDenseSlots = 1 << 16;
// Entries read at a time.
constexpr uint64_t kEntriesPerRead = 1 << 16;

}  // namespace

PulseFileIndex PulseFileIndex::read(const File& file, uint64_t offset, uint64_t count) {
    PulseFileIndex index;
    if (count == 0) return index;

    // The first and last numbers size the table; should the numbers not ascend, the walk
    // below fails at the first that does not.
    std::array<uint8_t, kIndexEntrySize> entry;
    file.read_exact_at(offset, entry);
    index.first_ = load_u32(entry.data());
    file.read_exact_at(offset + (count - 1) * kIndexEntrySize, entry);
    const uint64_t last = load_u32(entry.data());
    const uint64_t span = last >= index.first_ ? last - index.first_ + 1 : UINT64_MAX;
    index.dense_ = span <= kAlwaysDenseSlots || span <= kMaxSlotsPerEntry * count;
    if (index.dense_)
        index.locations_.assign(span, 0);
    else
        index.sparse_.reserve(count);
    index.apertures_.reserve(count);

    std::vector<uint8_t> stretch(std::min<uint64_t>(count, kEntriesPerRead) * kIndexEntrySize);
    for (uint64_t done = 0; done < count;) {
        const uint64_t entries = std::min<uint64_t>(count - done, kEntriesPerRead);
        const std::span<uint8_t> bytes(stretch.data(), entries * kIndexEntrySize);
        file.read_exact_at(offset + done * kIndexEntrySize, bytes);
        for (uint64_t i = 0; i < entries; ++i) {
            const uint8_t* at = bytes.data() + i * kIndexEntrySize;
            const uint64_t number = load_u32(at);
            const uint64_t location = load_u64(at + 4);
            if (!index.apertures_.empty() && number < index.apertures_.back())
                throw Error("Index entries are not in ascending order of aperture number: " + std::to_string(number) +
                            " follows " + std::to_string(index.apertures_.back()));
            index.apertures_.push_back(uint32_t(number));
            if (index.dense_) {
                // A number past the last entry's cannot ascend to it: the walk fails later.
                if (number - index.first_ < index.locations_.size()) index.locations_[number - index.first_] = location;
            } else if (!index.sparse_.empty() && index.sparse_.back().first == number) {
                index.sparse_.back().second = location;
            } else {
                index.sparse_.emplace_back(number, location);
            }
        }
        done += entries;
    }
    return index;
}

uint64_t PulseFileIndex::get(uint64_t aperture) const {
    uint64_t location = 0;
    if (dense_) {
        if (aperture >= first_ && aperture - first_ < locations_.size())
            location = locations_[aperture - first_];
    } else {
        auto it = std::lower_bound(sparse_.begin(), sparse_.end(), aperture,
                                   [](const auto& entry, uint64_t key) { return entry.first < key; });
        if (it != sparse_.end() && it->first == aperture) location = it->second;
    }
    if (location == 0)
        throw Error("This file does not contain the provided aperture index: " + std::to_string(aperture));
    return location;
}

}  // namespace zpr

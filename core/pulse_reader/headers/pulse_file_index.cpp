#include "pulse_reader/headers/pulse_file_index.hpp"

#include "error.hpp"
#include "file_io.hpp"

#include <algorithm>
#include <string>

namespace zpr {

namespace {

// The dense table is kept while it costs at most this many slots per entry (plus a small
// constant), so its memory stays proportional to the number of entries.
constexpr uint64_t kMaxSlotsPerEntry = 4;
constexpr uint64_t kAlwaysDenseSlots = 1 << 16;

}  // namespace

PulseFileIndex PulseFileIndex::from_entries(std::span<const uint8_t> entry_bytes, uint64_t count) {
    PulseFileIndex index;
    if (count == 0) return index;

    index.apertures_.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t number = load_u32(entry_bytes.data() + i * kIndexEntrySize);
        if (!index.apertures_.empty() && number < index.apertures_.back())
            throw Error("Index entries are not in ascending order of aperture number: " +
                        std::to_string(number) + " follows " + std::to_string(index.apertures_.back()));
        index.apertures_.push_back(number);
    }

    index.first_ = index.apertures_.front();
    uint64_t span = index.apertures_.back() - index.first_ + 1;
    index.dense_ = span <= kAlwaysDenseSlots || span <= kMaxSlotsPerEntry * count;
    if (index.dense_) {
        index.locations_.assign(span, 0);
    } else {
        index.sparse_.reserve(count);
    }
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t number = index.apertures_[i];
        uint64_t location = load_u64(entry_bytes.data() + i * kIndexEntrySize + 4);
        if (index.dense_) {
            index.locations_[number - index.first_] = location;
        } else if (!index.sparse_.empty() && index.sparse_.back().first == number) {
            index.sparse_.back().second = location;
        } else {
            index.sparse_.emplace_back(number, location);
        }
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

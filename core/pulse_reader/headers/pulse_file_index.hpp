// The aperture index at the end of a pulse file: the 8-byte magic "$INDX$\r\n" followed by
// aperture_count packed 12-byte entries (u32 aperture number, u64 block location), in
// ascending order of aperture number. A location of 0 marks an aperture as absent.
//
// Lookups take constant time through a dense table with one slot per number from the first
// to the last entry. A file with few apertures spread over a wide range of numbers would
// make that table huge, so such an index is held as a sorted table searched by bisection
// instead; both answer the same.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace zpr {

class File;

inline constexpr uint64_t kIndexMagic = 0x0A0D2458444E4924;  // "$INDX$\r\n" read little-endian
inline constexpr std::size_t kIndexEntrySize = 12;

class PulseFileIndex {
public:
    PulseFileIndex() = default;
    // Reads the `count` entries at `offset` of `file` (the caller has checked that the file
    // holds them), a stretch at a time, so that no copy of the whole index is ever held. A
    // later entry for the same number replaces the earlier location (the number is listed
    // twice). Throws Error when an entry's number is smaller than the one before it.
    static PulseFileIndex read(const File& file, uint64_t offset, uint64_t count);

    // The block location of `aperture`; Error "This file does not contain the provided
    // aperture index: N" when it has no entry or its location is 0.
    uint64_t get(uint64_t aperture) const;

    // The aperture numbers in entry order.
    const std::vector<uint32_t>& apertures() const noexcept { return apertures_; }

private:
    // Held as the file holds them, in 32 bits: a run of millions of apertures is opened with
    // half the memory 64-bit numbers would take.
    std::vector<uint32_t> apertures_;
    uint64_t first_ = 0;
    // Dense form: slot i holds the location of aperture first_ + i.
    std::vector<uint64_t> locations_;
    // Sparse form: (number, location), ascending, one pair per distinct number.
    std::vector<std::pair<uint64_t, uint64_t>> sparse_;
    bool dense_ = true;
};

}  // namespace zpr

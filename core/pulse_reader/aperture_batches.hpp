// A list of apertures cut into batches, for walking a run that need not fit in memory.
//
// A batch is a run of whole apertures, in list order, holding at most `batch_records`
// records of the file between them; an aperture with more records than that forms a batch of
// its own. The block headers (whose record counts decide the cut) are read a stretch at a
// time as the batches are cut, and each batch hands its apertures' headers on to the query
// that reads them, so that no header is read twice.
#pragma once

#include "pulse_reader/pulse_reader.hpp"

#include <cstdint>
#include <exception>
#include <span>
#include <vector>

namespace zpr {

class ApertureBatches {
public:
    struct Batch {
        std::vector<uint64_t> apertures;
        std::vector<ApertureHeader> headers;  // headers[i] that of apertures[i]
        // The room for the batch's rows that every batch of about the same size asks for
        // (its record count rounded up to a power of two), so that each batch's columns can
        // take over the memory of the batch before.
        std::size_t room = 0;
    };

    // Looks every aperture up in `reader`'s index at once: a missing one fails here, with the
    // index's error, not when its batch comes.
    ApertureBatches(const PulseReader& reader, std::span<const uint64_t> apertures, uint64_t batch_records);

    bool done() const { return next_ == count_; }

    // Cuts the next batch (there must be one) and moves past it; `reader` is the one the
    // batches were planned on. A header that cannot be read fails the batch it belongs to:
    // the batches before it still come out whole.
    Batch next(const PulseReader& reader);

private:
    // Headers are read this many apertures ahead at most.
    static constexpr std::size_t kHeadersAhead = 4096;

    // Appends the headers of the next stretch of apertures after those that `headers` holds
    // (which start at next_); false when there are none to add.
    bool read_ahead(const PulseReader& reader, std::vector<ApertureHeader>& headers);

    // The apertures of the walk: the index's own list when they are every aperture in index
    // order (a walk over a whole run of millions of apertures then holds no list at all),
    // else apertures_.
    std::span<const uint32_t> apertures(const PulseReader& reader) const;

    // Every number is one of the index's, which are 32-bit: a list is held in half the memory.
    std::vector<uint32_t> apertures_;
    bool whole_index_ = false;
    std::size_t count_ = 0;
    uint64_t batch_records_;
    std::size_t next_ = 0;
    // Headers read ahead of the batches cut so far, from apertures_[next_] on.
    std::vector<ApertureHeader> ahead_;
    // The failure of the header after the last one in ahead_, met while reading ahead.
    std::exception_ptr failure_;
};

}  // namespace zpr

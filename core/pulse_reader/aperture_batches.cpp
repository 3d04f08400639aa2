#include "pulse_reader/aperture_batches.hpp"

#include "error.hpp"

#include <algorithm>
#include <bit>

namespace zpr {

ApertureBatches::ApertureBatches(const PulseReader& reader, std::span<const uint64_t> apertures, uint64_t batch_records)
    : count_(apertures.size()), batch_records_(batch_records) {
    for (uint64_t aperture : apertures) reader.index().get(aperture);
    const std::vector<uint32_t>& every = reader.index().apertures();
    whole_index_ = std::equal(apertures.begin(), apertures.end(), every.begin(), every.end());
    if (!whole_index_) apertures_.assign(apertures.begin(), apertures.end());
}

std::span<const uint32_t> ApertureBatches::apertures(const PulseReader& reader) const {
    if (whole_index_) return reader.index().apertures();
    return apertures_;
}

ApertureBatches::Batch ApertureBatches::next(const PulseReader& reader) {
    std::vector<ApertureHeader> headers = std::exchange(ahead_, {});
    uint64_t records = 0;
    std::size_t taken = 0;
    for (;; ++taken) {
        if (taken == headers.size() && !read_ahead(reader, headers)) break;
        const uint64_t count = headers[taken].record_count();
        if (taken > 0 && records + count > batch_records_) break;
        records += count;
    }
    ahead_.assign(headers.begin() + std::ptrdiff_t(taken), headers.end());
    headers.resize(taken);
    const auto first = apertures(reader).begin() + std::ptrdiff_t(next_);
    Batch batch{{first, first + std::ptrdiff_t(taken)}, std::move(headers), std::bit_ceil(std::size_t(records))};
    next_ += taken;
    return batch;
}

bool ApertureBatches::read_ahead(const PulseReader& reader, std::vector<ApertureHeader>& headers) {
    const std::size_t first = next_ + headers.size();
    if (failure_) {
        // The failing header is the next one: it fails a batch of its own.
        if (!headers.empty()) return false;
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
    if (first == count_) return false;
    const auto begin = apertures(reader).begin() + std::ptrdiff_t(first);
    const std::vector<uint64_t> stretch(begin, begin + std::ptrdiff_t(std::min(kHeadersAhead, count_ - first)));
    const std::size_t before = headers.size();
    try {
        const std::vector<ApertureHeader> more = reader.read_aperture_headers(stretch);
        headers.insert(headers.end(), more.begin(), more.end());
        return true;
    } catch (const Error&) {
        // Some header of the stretch fails: keep those before it, one by one.
        for (const uint64_t& aperture : stretch) {
            try {
                headers.push_back(reader.read_aperture_headers(std::span(&aperture, 1)).front());
            } catch (const Error&) {
                failure_ = std::current_exception();
                break;
            }
        }
    }
    // With none added, the failing header is the next one.
    return headers.size() > before || read_ahead(reader, headers);
}

}  // namespace zpr

#include "pulse_reader/planned_reads.hpp"

#include <algorithm>

namespace zpr {

std::vector<PlannedRead> plan_reads(std::span<const Extent> extents, uint64_t max_gap, uint64_t max_length) {
    std::vector<PlannedRead> reads;
    for (std::size_t i = 0; i < extents.size(); ++i) {
        const Extent& extent = extents[i];
        if (!reads.empty()) {
            PlannedRead& read = reads.back();
            const uint64_t end = std::max(read.range.end(), extent.end());
            if (extent.offset >= read.range.offset && extent.offset <= read.range.end() + max_gap &&
                end - read.range.offset <= max_length) {
                read.range.length = end - read.range.offset;
                read.last = i + 1;
                continue;
            }
        }
        reads.push_back({extent, i, i + 1});
    }
    return reads;
}

}  // namespace zpr

#include "pulse_reader/records/record_kind_counts.hpp"

#include "pulse_reader/records/record_lanes.hpp"

#include <algorithm>
#include <cstring>

namespace zpr {

namespace {

// Groups of eight counted in 16-bit lanes before the lanes are added up: a lane gains at
// most one per group.
constexpr std::size_t kGroupsPerFlush = 32767;

}  // namespace

void add_record_kinds(const uint8_t* bytes, std::size_t count, RecordKindTotals& totals) {
    using simd::kLanes;
    // Per kind and lane, minus the records of that kind (a comparison sets a lane to -1).
    std::array<i16x8, kFormattedRecordTypeCount> lane_counts{};
    auto flush = [&] {
        for (std::size_t type = 0; type < totals.size(); ++type) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) totals[type] += uint16_t(-lane_counts[type][lane]);
            lane_counts[type] = i16x8{};
        }
    };
    auto add_group = [&](const uint8_t* group, i16x8 counted) {
        const i16x8 codes = LaneKinds(RecordLanes::load(group)).codes();
        for (std::size_t type = 0; type < lane_counts.size(); ++type)
            lane_counts[type] += (codes == int16_t(type)) & counted;
    };
    const std::size_t whole = count / kLanes * kLanes;
    const i16x8 every_lane = simd::splat<i16x8>(int16_t(-1));
    for (std::size_t first = 0; first < whole;) {
        const std::size_t stop = std::min(whole, first + kGroupsPerFlush * kLanes);
        for (; first < stop; first += kLanes) add_group(bytes + first * kRecordSize, every_lane);
        flush();
    }
    if (whole < count) {
        // The last records, copied into a whole group whose other lanes are not counted.
        std::array<uint8_t, kLanes * kRecordSize> last{};
        std::memcpy(last.data(), bytes + whole * kRecordSize, (count - whole) * kRecordSize);
        const i16x8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
        add_group(last.data(), lane < int16_t(count - whole));
        flush();
    }
}

}  // namespace zpr

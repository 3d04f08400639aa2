#include "pulse_reader/records/record_columns.hpp"

namespace zpr {

void RecordColumns::reserve(std::size_t count) {
    ipd_f.reserve(count);
    dur_f.reserve(count);
    bin0_intensity.reserve(count);
    bin1_intensity.reserve(count);
    bin0_bg_mean.reserve(count);
    bin1_bg_mean.reserve(count);
    bin0_bg_std.reserve(count);
    bin1_bg_std.reserve(count);
    record_type.reserve(count);
    wide.reserve(count);
}

}  // namespace zpr

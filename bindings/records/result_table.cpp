#include "records/result_table.hpp"

#include "error.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace zpr::py {

namespace {

template <class T> constexpr ValueType value_type();
template <> constexpr ValueType value_type<uint16_t>() { return ValueType::UInt16; }
template <> constexpr ValueType value_type<uint32_t>() { return ValueType::UInt32; }
template <> constexpr ValueType value_type<uint64_t>() { return ValueType::UInt64; }
template <> constexpr ValueType value_type<int64_t>() { return ValueType::Int64; }
template <> constexpr ValueType value_type<float>() { return ValueType::Float32; }
template <> constexpr ValueType value_type<double>() { return ValueType::Float64; }
template <> constexpr ValueType value_type<FormattedRecordType>() { return ValueType::RecordType; }

template <class T>
ResultTable::Block block(Column<T>&& column, const char* name) {
    const std::size_t rows = column.size();
    return {value_type<T>(), OwnedBuffer(column.release()), rows, {name}};
}

template <class T, std::size_t Width>
ResultTable::Block block(ColumnBlock<T, Width>&& columns, std::vector<const char*> names) {
    const std::size_t stride = columns.stride();
    return {value_type<T>(), OwnedBuffer(columns.release()), stride, std::move(names)};
}

}  // namespace

void ResultTable::release_unused_room() {
    auto trim = [&](const Block& b) {
        const std::size_t size = value_size(b.type);
        if (size == 0 || b.values.data() == nullptr) return;
        for (std::size_t k = 0; k < b.names.size(); ++k) {
            const std::size_t end = k + 1 < b.names.size() ? (k + 1) * b.stride * size : b.values.capacity();
            zpr::release_unused_room(const_cast<void*>(b.values.data()), b.values.capacity(),
                                     (k * b.stride + rows) * size, end);
        }
    };
    for (const Block& b : blocks) trim(b);
    if (row_index) trim(*row_index);
}

namespace {

void add_records(ResultTable& t, RecordColumns&& records) {
    t.rows = records.size();
    t.add(block(std::move(records.words), {"ipd_f", "dur_f"}));
    t.add(block(std::move(records.values),
                {"bin0_intensity", "bin1_intensity", "bin0_bg_mean", "bin1_bg_mean", "bin0_bg_std", "bin1_bg_std"}));
    t.add(block(std::move(records.start_f), "start_f"));
    t.add(block(std::move(records.record_type), "record_type"));
    t.add(block(std::move(records.wide_values), {"long_pulse_duration_f", "event_f"}));
}

}  // namespace

std::size_t value_size(ValueType type) {
    switch (type) {
        case ValueType::UInt16: return 2;
        case ValueType::UInt32: case ValueType::Float32: return 4;
        case ValueType::UInt64: case ValueType::Int64: case ValueType::Float64: return 8;
        case ValueType::RecordType: return sizeof(FormattedRecordType);
        case ValueType::Messages: return 0;
    }
    throw InternalFault("unknown column value type");
}

void ResultTable::add(Block block) {
    order.insert(order.end(), block.names.begin(), block.names.end());
    blocks.push_back(std::move(block));
}

std::pair<const ResultTable::Block*, std::size_t> ResultTable::find(const char* name) const {
    auto in = [&](const Block& b) -> std::optional<std::size_t> {
        for (std::size_t k = 0; k < b.names.size(); ++k)
            if (std::strcmp(b.names[k], name) == 0) return k;
        return std::nullopt;
    };
    for (const Block& b : blocks)
        if (auto k = in(b)) return {&b, *k};
    if (row_index && in(*row_index)) return {&*row_index, 0};
    throw InternalFault(std::string("result table without the column ") + name);
}

std::vector<const char*> ResultTable::stream_order() const {
    std::vector<const char*> names = order;
    if (row_index) {
        const bool after_aperture = !names.empty() && std::strcmp(names.front(), "aperture_index") == 0;
        names.insert(names.begin() + (after_aperture ? 1 : 0), row_index->names.front());
    }
    return names;
}

ResultTable result_table(RecordColumns&& records) {
    ResultTable t;
    add_records(t, std::move(records));
    return t;
}

ResultTable result_table(ManyApertureRecords&& many) {
    ResultTable t;
    t.row_index = block(std::move(many.position), "position");
    t.add(block(std::move(many.aperture_index), "aperture_index"));
    add_records(t, std::move(many.records));
    return t;
}

namespace {

// The aperture numbers as the row index of a per-aperture table.
ResultTable::Block aperture_numbers(std::span<const uint64_t> apertures) {
    Column<uint64_t> numbers;
    numbers.reserve(apertures.size());
    std::copy(apertures.begin(), apertures.end(), numbers.data());
    numbers.mark_filled(apertures.size());
    return block(std::move(numbers), "aperture_index");
}

}  // namespace

ResultTable result_table(ApertureSummaries&& summaries, std::span<const uint64_t> apertures) {
    ResultTable t;
    t.rows = summaries.rows;
    t.row_index = aperture_numbers(apertures);
    t.add(block(std::move(summaries.frames), {"aperture_x", "aperture_y", "first_start_f", "last_end_f"}));
    t.add(block(std::move(summaries.counts), {"records", "pulses", "nonfinite"}));
    t.add(block(std::move(summaries.means),
                {"dur_f_mean", "ipd_f_mean", "snr_mean", "intensity_mean", "binratio_mean"}));
    t.add({ValueType::Messages, {}, 0, {"error"}});
    t.messages = std::move(summaries.errors);
    // The frame's order interleaves the blocks.
    t.order.assign({"aperture_x", "aperture_y", "records", "pulses", "nonfinite", "dur_f_mean", "ipd_f_mean",
                    "snr_mean", "intensity_mean", "binratio_mean", "first_start_f", "last_end_f", "error"});
    return t;
}

ResultTable result_table(RecordKindCounts&& counts, std::span<const uint64_t> apertures) {
    ResultTable t;
    t.rows = counts.rows;
    t.row_index = aperture_numbers(apertures);
    std::vector<const char*> names;
    for (std::size_t type = 0; type < kFormattedRecordTypeCount; ++type)
        names.push_back(record_type_name(FormattedRecordType(type)));
    t.add(block(std::move(counts.counts), std::move(names)));
    return t;
}

ResultTable result_table(PulseColumns&& pulses, bool include_aperture_index) {
    ResultTable t;
    t.rows = pulses.size();
    t.row_index = block(std::move(pulses.index), "position");
    if (include_aperture_index) t.add(block(std::move(pulses.aperture_index), "aperture_index"));
    t.add(block(std::move(pulses.frames), {"start_f", "end_f", "dur_f", "ipd_f"}));
    t.add(block(std::move(pulses.quantities),
                {"dur_s", "ipd_s", "snr", "intensity", "bin0_intensity", "intensity_display", "binratio", "bg_mean",
                 "bg_std", "bin0_bg_mean", "bin0_bg_std"}));
    // The frame's order interleaves the two blocks.
    t.order.assign({"start_f", "end_f", "dur_f", "dur_s", "ipd_f", "ipd_s", "snr", "intensity", "bin0_intensity",
                    "intensity_display", "binratio", "bg_mean", "bg_std", "bin0_bg_mean", "bin0_bg_std"});
    if (include_aperture_index) t.order.insert(t.order.begin(), "aperture_index");
    return t;
}

}  // namespace zpr::py

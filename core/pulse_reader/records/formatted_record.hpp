// A decoded record: its kind, its two frame counts and six measurement values, scaled with
// the file's encoding records where the kind calls for it.
#pragma once

#include "pulse_reader/headers/encoding_record.hpp"
#include "pulse_reader/records/raw_record.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zpr {

enum class FormattedRecordType : uint8_t {
    Pulse = 0,
    Padding = 1,
    LongPulseUpdate = 2,
    LongPulseDropped = 3,
    StepUp = 4,
    StepDown = 5,
    Background = 6,
    Unknown = 7,
};

inline constexpr std::size_t kFormattedRecordTypeCount = 8;

// The kind's name as shown in the records table ("pulse", "padding", ...).
const char* record_type_name(FormattedRecordType type);

struct FormattedRecord {
    uint64_t index = 0;  // position among all records of the aperture
    uint16_t ipd_f = 0;
    uint16_t dur_f = 0;
    float bin0_intensity = 0.0f;
    float bin1_intensity = 0.0f;
    float bin0_bg_mean = 0.0f;
    float bin1_bg_mean = 0.0f;
    float bin0_bg_std = 0.0f;
    float bin1_bg_std = 0.0f;
    FormattedRecordType record_type = FormattedRecordType::Unknown;
    std::optional<uint32_t> long_pulse_duration_f;
    std::optional<uint32_t> event_f;

    // Decodes one record; `encodings` holds the file's eight encoding records. Never fails.
    // Queries decode eight records at a time with the same rules (record_lanes.hpp); this
    // is the one-record form of that decoding.
    static FormattedRecord from_raw(const RawRecord& raw, std::span<const EncodingRecord> encodings,
                                    uint64_t position);
};

// Kind codes carried in word 6 of step and long-pulse records.
namespace detail {
constexpr int16_t kStepDownCode = -6;
constexpr int16_t kStepUpCode = -5;
constexpr int16_t kLongPulseUpdateCode = -3;
constexpr int16_t kLongPulseDroppedCode = -2;
}  // namespace detail

}  // namespace zpr

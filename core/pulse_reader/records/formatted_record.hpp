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
    static FormattedRecord from_raw(const RawRecord& raw, std::span<const EncodingRecord> encodings,
                                    uint64_t position);
};

// Decoding runs once per record of every query, so it lives here to be inlined.
namespace detail {

// Kind codes carried in word 6 of step and long-pulse records.
constexpr int16_t kStepDownCode = -6;
constexpr int16_t kStepUpCode = -5;
constexpr int16_t kLongPulseUpdateCode = -3;
constexpr int16_t kLongPulseDroppedCode = -2;

// A word's signed value as a float, with no sentinels and no scaling.
inline float plain(uint16_t word) { return float(int16_t(word)); }

inline FormattedRecordType classify(const RawRecord& raw) {
    const auto& w = raw.words;
    if (w[1] != 0) return FormattedRecordType::Pulse;
    if (w[0] == 0xFFFF) return FormattedRecordType::Padding;
    switch (int16_t(w[6])) {
        case kStepDownCode: return FormattedRecordType::StepDown;
        case kStepUpCode: return FormattedRecordType::StepUp;
        case kLongPulseUpdateCode: return FormattedRecordType::LongPulseUpdate;
        case kLongPulseDroppedCode: return FormattedRecordType::LongPulseDropped;
        default: break;
    }
    if (w[2] != 0 || w[3] != 0) return FormattedRecordType::Unknown;
    return FormattedRecordType::Background;
}

}  // namespace detail

inline FormattedRecord FormattedRecord::from_raw(const RawRecord& raw, std::span<const EncodingRecord> enc,
                                          uint64_t position) {
    const auto& w = raw.words;
    FormattedRecord r;
    r.index = position;
    r.record_type = detail::classify(raw);
    r.ipd_f = w[0];
    switch (r.record_type) {
        case FormattedRecordType::Pulse:
            r.dur_f = w[1];
            r.bin0_intensity = enc[2].decode(w[2]);
            r.bin1_intensity = enc[3].decode(w[3]);
            r.bin0_bg_mean = enc[4].decode(w[4]);
            r.bin1_bg_mean = enc[5].decode(w[5]);
            r.bin0_bg_std = enc[6].decode(w[6]);
            r.bin1_bg_std = enc[7].decode(w[7]);
            break;
        case FormattedRecordType::Padding:
        case FormattedRecordType::Unknown:
            r.bin0_intensity = detail::plain(w[2]);
            r.bin1_intensity = detail::plain(w[3]);
            r.bin0_bg_mean = detail::plain(w[4]);
            r.bin1_bg_mean = detail::plain(w[5]);
            r.bin0_bg_std = detail::plain(w[6]);
            r.bin1_bg_std = detail::plain(w[7]);
            break;
        case FormattedRecordType::StepDown:
        case FormattedRecordType::StepUp:
        case FormattedRecordType::LongPulseUpdate:
        case FormattedRecordType::LongPulseDropped:
            // Words 4 and 5 are the halves of the wide value; word 6 is the kind code.
            r.bin0_intensity = enc[2].decode(w[2]);
            r.bin1_intensity = enc[3].decode(w[3]);
            r.bin0_bg_mean = detail::plain(w[4]);
            r.bin1_bg_mean = detail::plain(w[5]);
            r.bin0_bg_std = detail::plain(w[6]);
            r.bin1_bg_std = detail::plain(w[7]);
            if (r.record_type == FormattedRecordType::StepDown || r.record_type == FormattedRecordType::StepUp)
                r.event_f = raw.wide_value();
            else
                r.long_pulse_duration_f = raw.wide_value();
            break;
        case FormattedRecordType::Background:
            // Intensities are zero outright: decoding a zero word would give the offset.
            r.bin0_bg_mean = enc[4].decode(w[4]);
            r.bin1_bg_mean = enc[5].decode(w[5]);
            r.bin0_bg_std = enc[6].decode(w[6]);
            r.bin1_bg_std = enc[7].decode(w[7]);
            break;
    }
    return r;
}

}  // namespace zpr

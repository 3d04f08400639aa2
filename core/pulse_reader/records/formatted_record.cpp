#include "pulse_reader/records/formatted_record.hpp"

namespace zpr {

const char* record_type_name(FormattedRecordType type) {
    switch (type) {
        case FormattedRecordType::Pulse: return "pulse";
        case FormattedRecordType::Padding: return "padding";
        case FormattedRecordType::LongPulseUpdate: return "long_pulse_update";
        case FormattedRecordType::LongPulseDropped: return "long_pulse_dropped";
        case FormattedRecordType::StepUp: return "step_up";
        case FormattedRecordType::StepDown: return "step_down";
        case FormattedRecordType::Background: return "background";
        case FormattedRecordType::Unknown: return "unknown";
    }
    return "unknown";
}


}  // namespace zpr

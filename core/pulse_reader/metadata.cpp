#include "pulse_reader/metadata.hpp"

#include "error.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace zpr {

namespace {

// Byte length of a UTF-8 sequence introduced by `lead`, 0 when it cannot start one.
int sequence_width(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Whether `second` may follow `lead`: the narrowed ranges exclude overlong forms, surrogates
// and code points beyond U+10FFFF.
bool valid_second_byte(uint8_t lead, uint8_t second) {
    switch (lead) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

[[noreturn]] void utf8_failure(std::size_t valid_up_to, int error_length) {
    std::string description =
        error_length == 0
            ? "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to)
            : "invalid utf-8 sequence of " + std::to_string(error_length) + " bytes from index " +
                  std::to_string(valid_up_to);
    throw Error("Failed to parse metadata as UTF-8: " + description);
}

}  // namespace

void check_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const std::size_t size = text.size();
    std::size_t at = 0;
    while (at < size) {
        const uint8_t lead = bytes[at];
        const int width = sequence_width(lead);
        if (width == 1) {
            ++at;
            continue;
        }
        if (width == 0) utf8_failure(at, 1);
        // Each following byte must be present (else the sequence is incomplete) and fit.
        for (int k = 1; k < width; ++k) {
            if (at + std::size_t(k) >= size) utf8_failure(at, 0);
            const uint8_t byte = bytes[at + std::size_t(k)];
            const bool fits = k == 1 ? valid_second_byte(lead, byte) : is_continuation(byte);
            if (!fits) utf8_failure(at, k);
        }
        at += std::size_t(width);
    }
}

namespace {

[[noreturn]] void json_failure(const std::string& description) {
    throw Error("Failed to parse metadata JSON: " + description);
}

// "line L, column C" of byte `at`, both counted from 1.
std::string line_and_column(std::string_view text, std::size_t at) {
    const std::size_t line_start = text.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t line = 1 + std::size_t(std::count(text.begin(), text.begin() + std::ptrdiff_t(at), '\n'));
    const std::size_t column = line_start == std::string_view::npos || at == 0 ? at + 1 : at - line_start;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

Json parse_metadata(std::string_view text) {
    // The parser would skip a byte order mark silently; the document must start with JSON.
    if (text.starts_with("\xEF\xBB\xBF"))
        json_failure("parse error at line 1, column 1: unexpected byte order mark");
    // Nesting is bounded: the writers serialise the document recursively, and no real
    // metadata comes near this depth.
    constexpr int kMaxDepth = 512;
    const Json::parser_callback_t limit_depth = [](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxDepth) json_failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        return true;
    };
    Json document;
    try {
        document = Json::parse(text, limit_depth);
    } catch (const Json::exception& error) {
        // Drop the library's "[json.exception.kind.N] " tag; keep its description (syntax
        // errors name line and column; a number too large for a double names the number).
        std::string description = error.what();
        if (auto tag_end = description.find("] "); description.starts_with("[json.exception.") &&
                                                   tag_end != std::string::npos)
            description.erase(0, tag_end + 2);
        json_failure(description);
    }
    // The parser takes a NUL byte outside a string for the end of the input; in a document
    // of known length it is a stray character.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
        json_failure("parse error at " + line_and_column(text, nul) + ": unexpected NUL byte; expected end of input");
    return document;
}

std::optional<double> number_member(const Json& document, const char* key) {
    if (!document.is_object()) return std::nullopt;
    auto it = document.find(key);
    if (it == document.end() || !it->is_number()) return std::nullopt;
    if (it->is_number_unsigned()) return double(it->get<uint64_t>());
    if (it->is_number_integer()) return double(it->get<int64_t>());
    return it->get<double>();
}

std::optional<uint64_t> unsigned_member(const Json& document, const char* key) {
    if (!document.is_object()) return std::nullopt;
    auto it = document.find(key);
    if (it == document.end()) return std::nullopt;
    // Non-negative integers parse as unsigned; negative ones as signed, fractions as floats.
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    return std::nullopt;
}

float read_fps(const Json& document) {
    auto fps = number_member(document, "fps");
    if (!fps) throw Error("Missing or invalid 'fps' field in metadata");
    return float(*fps);
}

bool read_trimmed(const Json& document) {
    if (!document.is_object()) return false;
    auto caller = document.find("pulseCaller");
    if (caller == document.end() || !caller->is_object()) return false;
    auto options = caller->find("options");
    if (options == caller->end() || !options->is_array()) return false;
    for (const Json& option : *options)
        if (option.is_string() && option.get_ref<const std::string&>() == "trim_boundary_frames") return true;
    return false;
}

std::string serialize_compact(const Json& document) {
    // Objects are ordered maps keyed by std::string, so members come out in byte order.
    return document.dump(-1, ' ', false, Json::error_handler_t::strict);
}

}  // namespace zpr

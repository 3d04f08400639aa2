// The JSON metadata document of a pulse file: UTF-8 text of one JSON object, stored from
// byte 80 without terminator or length prefix of its own.
//
// Only the forward declaration of the JSON type is included here: the full header is heavy,
// and most files that see a reader never look inside its document. Those that do include
// <nlohmann/json.hpp> themselves.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zpr {

using Json = nlohmann::json;

// Throws Error "Failed to parse metadata as UTF-8: ..." naming the first invalid sequence.
void check_utf8(std::string_view text);

// Throws Error "Failed to parse metadata JSON: ..." naming line and column of the fault.
Json parse_metadata(std::string_view text);

// The value of top-level `key` when it is a JSON number (integer or fraction), as a double.
std::optional<double> number_member(const Json& document, const char* key);

// The value of top-level `key` when it is a JSON integer from 0 to 2^64 - 1.
std::optional<uint64_t> unsigned_member(const Json& document, const char* key);

// Frames per second: the top-level "fps" number rounded to single precision.
float read_fps(const Json& document);

// Whether "pulseCaller" -> "options" lists "trim_boundary_frames".
bool read_trimmed(const Json& document);

// Compact serialisation with object members in ascending byte order of their keys.
std::string serialize_compact(const Json& document);

}  // namespace zpr

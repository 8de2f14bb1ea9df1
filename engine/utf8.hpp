// Strict UTF-8 validation of untrusted text: keys, names and string payloads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrove {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
//
// The text of the first fault in `text`, or nothing when it is valid: the index is where the
// valid prefix ends; a fault cut short by the end of the text is "incomplete", any other names
// how many bytes of the faulty sequence were examined.
[[nodiscard]] std::optional<std::string> utf8_error(std::string_view text);

[[nodiscard]] inline bool is_valid_utf8(std::string_view text) { return !utf8_error(text); }

[[nodiscard]] inline bool is_valid_utf8(std::span<const uint8_t> bytes) {
    return is_valid_utf8(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace kestrove

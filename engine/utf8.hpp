// Strict UTF-8 validation of untrusted text: keys, names and string payloads.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrove {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
[[nodiscard]] bool is_valid_utf8(std::string_view text);

[[nodiscard]] inline bool is_valid_utf8(std::span<const uint8_t> bytes) {
    return is_valid_utf8(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace kestrove

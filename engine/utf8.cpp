// Strict UTF-8 validation of untrusted text: keys, names and string payloads.
#include "engine/utf8.hpp"

namespace kestrove {

std::optional<std::string> utf8_error(std::string_view text) {
    const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t len = text.size();
    size_t i = 0;
    while (i < len) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const size_t start = i;
        auto invalid = [&](size_t examined) {
            return "invalid utf-8 sequence of " + std::to_string(examined) + " bytes from index " +
                   std::to_string(start);
        };
        auto incomplete = [&] {
            return "incomplete utf-8 byte sequence from index " + std::to_string(start);
        };
        auto is_trail = [](unsigned char b) { return (b & 0xC0) == 0x80; };

        size_t width = 0;
        unsigned char low = 0x80;  // range of the second byte
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return invalid(1);
        }
        if (i + 1 >= len) return incomplete();
        if (bytes[i + 1] < low || bytes[i + 1] > high) return invalid(1);
        for (size_t k = 2; k < width; ++k) {
            if (i + k >= len) return incomplete();
            if (!is_trail(bytes[i + k])) return invalid(k);
        }
        i += width;
    }
    return std::nullopt;
}

}  // namespace kestrove

// Strict UTF-8 validation of untrusted text: keys, names and string payloads.
#include "engine/utf8.hpp"

namespace kestrove {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p != end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        size_t trail;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
        } else if (lead == 0xE0) {
            trail = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            trail = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            trail = 2;
        } else if (lead == 0xF0) {
            trail = 3;
            low = 0x90;
        } else if (lead == 0xF4) {
            trail = 3;
            high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            trail = 3;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= trail) return false;
        if (p[1] < low || p[1] > high) return false;
        for (size_t i = 2; i <= trail; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += trail + 1;
    }
    return true;
}

}  // namespace kestrove

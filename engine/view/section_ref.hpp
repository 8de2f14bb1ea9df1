// One section of a structure-of-arrays record as borrowed bytes, shared by the record parser and
// the batch record builder.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrove::view {

// A section's key, payload, kind and type tag, all borrowed: valid while the bytes they point
// into live.
struct SoaSectionRef {
    std::string_view key;
    std::span<const uint8_t> payload;
    uint8_t kind = 0;
    uint8_t type_tag = 0;
};

}  // namespace kestrove::view

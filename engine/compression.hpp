// Per-record compression: none, one raw LZ4 block (high-compression, level 12) or one zstd frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "engine/coding.hpp"
#include "engine/error.hpp"

namespace kestrove::compression {

// A database's compression setting. Every kind above 1 is treated as zstd; `level` is used by
// zstd only.
struct CompressionType {
    enum Kind : uint32_t { None = 0, Lz4 = 1, Zstd = 2 };

    uint32_t kind = None;
    int32_t level = 0;

    bool operator==(const CompressionType&) const = default;
};

inline constexpr int kLz4HcLevel = 12;

// Compresses one record. Failures are Error::Compression.
Result<Bytes> compress(std::span<const uint8_t> data, CompressionType compression);

// Decompresses one stored record. `expected_size` is the record's length before compression when
// the caller knows it; without it the capacity is a multiple of the input, capped at 1 GiB. The
// result may be shorter than the hint. The output is never larger than the input can produce.
Result<Bytes> decompress(std::span<const uint8_t> data, CompressionType compression,
                         std::optional<uint64_t> expected_size);

}  // namespace kestrove::compression

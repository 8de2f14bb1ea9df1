// Per-record compression: none, one raw LZ4 block (high-compression, level 12) or one zstd frame.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "base/error.hpp"
#include "engine/coding.hpp"

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

// An LZ4 sequence can emit at most 255 bytes per input byte (match-length extension bytes).
inline constexpr uint64_t kLz4MaxExpansion = 255;
// A zstd block of at least 4 bytes (an RLE block) yields at most 128 KiB.
inline constexpr uint64_t kZstdMaxExpansion = (uint64_t{128} << 10) / 4;

// The most bytes that one stored record of `stored_bytes` bytes, declared to hold
// `declared_bytes` before compression, can decompress to: the stored length itself for none, whose
// records are stored as they are; otherwise the smaller of the declared length, which decompress()
// given it never exceeds, and the codec's largest expansion of the stored bytes, which it never
// exceeds at all. A longer record length cannot be true. Inline: readers bound every record of a
// batch by it.
inline uint64_t max_decompressed_size(CompressionType compression, uint64_t stored_bytes,
                                      uint64_t declared_bytes) {
    if (compression.kind == CompressionType::None) return stored_bytes;
    const uint64_t expansion =
        compression.kind == CompressionType::Lz4 ? kLz4MaxExpansion : kZstdMaxExpansion;
    uint64_t most;
    if (__builtin_mul_overflow(stored_bytes, expansion, &most)) most = UINT64_MAX;
    return std::min(declared_bytes, most);
}

// Decompresses one stored record. `expected_size` is the record's length before compression when
// the caller knows it; without it the capacity is a multiple of the input, capped at 1 GiB. The
// result may be shorter than the hint. The output is never larger than the input can produce.
Result<Bytes> decompress(std::span<const uint8_t> data, CompressionType compression,
                         std::optional<uint64_t> expected_size);
// The same into `out`, whose memory is reused: a reader decompressing record after record
// allocates only when a record is longer than any before it. On failure `out` holds anything.
Status decompress_into(std::span<const uint8_t> data, CompressionType compression,
                       std::optional<uint64_t> expected_size, Bytes& out);

}  // namespace kestrove::compression

// Fuzzes the decompression of a stored record, of each kind, with any size hint.
//
// Input: u8 kind (taken modulo 4: none, LZ4, zstd, and 3, which is also zstd) | u8 hint mode
// (even: no hint) | u64 hint | the stored bytes. The stored bytes are also compressed and read
// back, with the exact hint and without one.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/compression.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using compression::CompressionType;

namespace {

// The round trip compresses at most this much, to keep LZ4-HC from dominating the run.
constexpr size_t kMaxRoundTripBytes = 64 << 10;

bool same(const Bytes& a, std::span<const uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader reader(data, size);
    const CompressionType type{reader.take<uint8_t>() % 4u, 1};
    const bool hinted = reader.take<uint8_t>() % 2 == 1;
    const uint64_t hint_value = reader.take<uint64_t>();
    const std::optional<uint64_t> hint = hinted ? std::optional(hint_value) : std::nullopt;
    const std::span<const uint8_t> stored = reader.rest();

    auto record = compression::decompress(stored, type, hint);
    if (record.ok() && type.kind == CompressionType::None) {
        FUZZ_CHECK(same(record.value(), stored));
    } else if (record.ok() && hint) {
        // The hint bounds the output of a real decompressor.
        FUZZ_CHECK(record.value().size() <= *hint);
    }

    if (stored.size() > kMaxRoundTripBytes) return 0;
    auto packed = compression::compress(stored, type);
    FUZZ_CHECK(packed.ok());
    auto exact = compression::decompress(packed.value(), type, stored.size());
    FUZZ_CHECK(exact.ok() && same(exact.value(), stored));
    // Without a hint the room is a multiple of the stored size: the read may fail for lack of
    // it, but never returns anything but the record.
    auto unhinted = compression::decompress(packed.value(), type, std::nullopt);
    if (unhinted.ok()) FUZZ_CHECK(same(unhinted.value(), stored));
    return 0;
}

// The two header slots at the start of a database file: their layout, validation and choice.
//
// A database file begins with two 4,096-byte slots; every commit rewrites one of them,
// alternating, and an open takes the valid slot with the higher generation. Slot layout
// (little-endian, the 64-bit fields at 60 and 68 unaligned):
//   0 "KSTV" | 4 u32 version 2 | 8 u64 generation | 16 u64 data_start | 24 u64 index_offset
//   32 u64 index_len | 40 u64 count | 48 u8 compression kind | 49 3 reserved | 52 i32 level
//   56 u32 record_format | 60 u64 schema_offset | 68 u64 schema_len | 76 reserved
//   4092 u32 Adler-32 of bytes 0-4091
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "base/error.hpp"
#include "engine/compression.hpp"
#include "engine/storage/dtypes.hpp"
#include "platform/file.hpp"

namespace kestrove::storage::header {

inline constexpr size_t kHeaderSlotSize = 4096;
inline constexpr size_t kHeaderSlotCount = 2;
// First byte after the two slots; where records start in a file this engine writes.
inline constexpr uint64_t kDataStart = kHeaderSlotSize * kHeaderSlotCount;
inline constexpr std::array<uint8_t, 4> kHeaderMagic = {'K', 'S', 'T', 'V'};
inline constexpr uint32_t kHeaderVersion = 2;
// The checksum covers every byte before it, the reserved ones included.
inline constexpr size_t kChecksumOffset = kHeaderSlotSize - 4;

using HeaderSlot = std::array<uint8_t, kHeaderSlotSize>;

// One decoded header slot.
struct Header {
    // The kind, and for zstd (kind 2) the level; the level is 0 for kinds 0 and 1 once decoded.
    compression::CompressionType compression;
    // Commit counter: 0 at creation, one more at every commit.
    uint64_t generation = 0;
    uint64_t data_start = kDataStart;
    // Committed molecules: the entry count of the index blob.
    uint64_t count = 0;
    // Schema-lock blob; both 0 when there is none.
    uint64_t schema_offset = 0;
    uint64_t schema_len = 0;
    // Index blob; offset, length and count all 0 when there is none.
    uint64_t index_offset = 0;
    uint64_t index_len = 0;
    // Not checked by decoding: the open decides which formats it accepts.
    uint32_t record_format = dtypes::kRecordFormat2;

    bool operator==(const Header&) const = default;
};

// RFC 1950 Adler-32 (a starts at 1, b at 0, value b << 16 | a).
uint32_t adler32(std::span<const uint8_t> data);

// Builds the slot for `header`, checksum included. A compression kind above 2 is written as 2,
// the kind the compressor applies to it; the level is written for kind 2 only.
HeaderSlot encode_header_slot(const Header& header);

// The header a slot holds, or nothing when the slot breaks any validity rule against a file of
// `file_len` bytes: wrong magic, version or checksum, an unknown compression kind, data_start
// outside [8192, file_len], or a schema or index range that is malformed or lies outside
// [data_start, file_len]. A named index must be exactly 8 + 20 × count bytes.
std::optional<Header> decode_header_slot(std::span<const uint8_t, kHeaderSlotSize> slot,
                                         uint64_t file_len);

// Reads both slots of an open file and returns the valid one with the higher generation (slot 0
// on a tie). Leaves the file position just past slot 1 on success. Any failure of the length
// query, a seek or a read is an Io error, including a file shorter than two slots ("failed to
// fill whole buffer"); no valid slot is "Invalid or corrupted header (no valid header slots)".
// Safe beside another process that commits: the slots are judged against the length the file
// has after they were read, and are read again a few times before a file where neither passes
// is called corrupted, since each may have been read while a commit rewrote it.
[[nodiscard]] Result<Header> read_best_header(platform::File& file);

// What read_best_header chose, and whether it rejected the other slot.
struct BestHeader {
    Header header;
    // The slot the header came from.
    size_t slot = 0;
    // The other slot is invalid against the file as it is now (torn, damaged, or naming blobs
    // past its end). Such a slot may become valid again once the file grows.
    bool other_rejected = false;
};

// read_best_header, also telling which slot was chosen and whether the other was rejected.
[[nodiscard]] Result<BestHeader> read_best_header_slots(platform::File& file);

}  // namespace kestrove::storage::header

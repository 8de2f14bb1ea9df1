// The index: where each record lies in the file, its on-disk blob, and an open database's copy.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "engine/coding.hpp"
#include "engine/compression.hpp"

namespace kestrove::storage::index {

// One record's entry: 20 bytes on disk (u64 offset, then three u32), encoded field by field.
struct MoleculeIndex {
    uint64_t offset = 0;
    uint32_t compressed_size = 0;
    uint32_t uncompressed_size = 0;
    uint32_t num_atoms = 0;

    bool operator==(const MoleculeIndex&) const = default;
};

inline constexpr size_t kEntryBytes = 20;
inline constexpr size_t kCountBytes = 8;

void encode_entry(uint8_t* dst, const MoleculeIndex& entry);
MoleculeIndex decode_entry(const uint8_t* src);

// The index blob: u64 count, then the entries. Exactly 8 + 20 × count bytes.
Bytes encode_index(std::span<const MoleculeIndex> entries);
Result<std::vector<MoleculeIndex>> decode_index(std::span<const uint8_t> blob);

// An open database's index: either its own growable list, or entries read in place from a
// read-only memory map of the file, which the storage keeps alive and is the only user of.
class IndexStorage {
public:
    // An empty, writable index.
    IndexStorage() = default;
    // The entries of a file of `file_len` bytes, read from its index blob.
    IndexStorage(std::vector<MoleculeIndex> entries, uint64_t file_len);
    // Entries are read from `map`, the whole file, at `index_offset + 8 + 20 × i`; `owner` keeps
    // the map alive.
    static IndexStorage mapped(std::shared_ptr<const void> owner, std::span<const uint8_t> map,
                               uint64_t index_offset, uint64_t count);

    bool is_mapped() const { return state_.index() == 1; }
    uint64_t size() const;
    // Entry i, or nothing when i is out of range or the map ends inside the entry.
    std::optional<MoleculeIndex> get(uint64_t i) const;
    // Appends the entries of records just written to the file. Refused for a mapped index, which
    // is left unchanged.
    Status extend(std::vector<MoleculeIndex> entries);
    // The owned entries; empty for a mapped index.
    std::span<const MoleculeIndex> owned_entries() const;
    // The longest record that any entry can yield under `compression`, its declared size
    // trusted only as far as its stored bytes can decompress (max_decompressed_size), 0 for
    // none. An entry whose stored bytes do not lie within the file, past the header slots, holds
    // no record and bounds nothing. An owned index keeps the maximum for every compression kind
    // as it grows; a mapped one works it out in one pass per kind on first use (safe from
    // several threads at once), since opening reads none of its entries.
    uint64_t longest_record_size(compression::CompressionType compression) const;

private:
    static constexpr uint64_t kNotYetKnown = std::numeric_limits<uint64_t>::max();
    // One maximum per compression kind: none, LZ4, zstd (every kind above 1 reads as zstd).
    static constexpr size_t kCompressionKinds = 3;
    using LongestRecords = std::array<std::atomic<uint64_t>, kCompressionKinds>;

    // An owned index's maxima, raised to cover those of `entries` whose stored bytes lie within
    // the first `file_len` bytes of the file.
    void raise_longest(std::span<const MoleculeIndex> entries, uint64_t file_len);

    struct Mapped {
        std::shared_ptr<const void> owner;
        std::span<const uint8_t> map;
        uint64_t index_offset;
        uint64_t count;
    };
    std::variant<std::vector<MoleculeIndex>, Mapped> state_;
    // longest_record_size() per kind, or kNotYetKnown. Behind a pointer, so that the index moves.
    std::unique_ptr<LongestRecords> longest_ = std::make_unique<LongestRecords>();
};

}  // namespace kestrove::storage::index

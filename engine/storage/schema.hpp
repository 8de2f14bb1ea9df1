// The schema lock: the one column layout every record of a database shares, and its blob.
//
// Schema-lock blob (little-endian, no padding):
//   u32 version 1 | u8 positions type (4, 7, or 255 for none) | u32 entry count | entries
// Entry, in lock order:
//   u8 kind | u8 type_tag | u8 per_atom (0/1) | u16 key length | u32 elem_bytes | u32 slot_bytes
//   | key bytes (UTF-8)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "engine/atom.hpp"
#include "engine/coding.hpp"

namespace kestrove::storage::schema {

inline constexpr uint32_t kSchemaBlobVersion = 1;
inline constexpr uint8_t kNoPositionsType = 255;
inline constexpr size_t kSchemaBlobHeadBytes = 9;     // version, positions type, entry count
inline constexpr size_t kSchemaEntryFixedBytes = 13;  // everything of an entry but its key

// What every record's section of one (kind, key) must look like.
struct SchemaEntry {
    uint8_t type_tag = 0;
    // One element per atom: custom per-atom properties and "forces", "charges", "velocities".
    bool per_atom = false;
    // Bytes of one element of the type tag; 0 for text and null.
    size_t elem_bytes = 0;
    // Bytes per atom (per-atom sections) or per molecule (the others); 0 for text and null,
    // whose length may vary from record to record.
    size_t slot_bytes = 0;

    bool operator==(const SchemaEntry&) const = default;
};

// "SchemaEntry { type_tag: 3, per_atom: false, elem_bytes: 8, slot_bytes: 24 }": the form in
// which mismatch messages show an entry.
std::string debug_string(const SchemaEntry& entry);

// A section's identity: its kind byte and key. Ordered by kind, then by the key's bytes compared
// as unsigned, a prefix before the longer key.
struct SectionKey {
    uint8_t kind = 0;
    std::string key;

    bool operator==(const SectionKey&) const = default;
};
bool section_key_less(uint8_t a_kind, std::string_view a_key, uint8_t b_kind,
                      std::string_view b_key);

// An ordered map from SectionKey to SchemaEntry, kept as one sorted vector: locks are small,
// are built once per molecule and are mostly read, so a contiguous array beats a node tree.
class SectionMap {
public:
    using value_type = std::pair<SectionKey, SchemaEntry>;
    using const_iterator = std::vector<value_type>::const_iterator;

    SectionMap() = default;
    // A map of `entries` given in any order; of entries sharing a key the later one stays.
    // Linear when the entries come sorted, O(n log n) otherwise.
    static SectionMap from_entries(std::vector<value_type> entries);

    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    // The entry of (kind, key), or nullptr.
    const SchemaEntry* find(uint8_t kind, std::string_view key) const;
    // Adds the entry, or replaces the one already held under (kind, key).
    void insert_or_assign(uint8_t kind, std::string_view key, const SchemaEntry& entry);

    bool operator==(const SectionMap&) const = default;

private:
    std::vector<value_type> items_;
};

// The database-wide layout: one entry per section a record may hold, and the positions type
// (4 single, 7 double precision) of every record. An empty lock has neither.
struct SchemaLock {
    SectionMap sections;
    std::optional<uint8_t> positions_type;

    bool operator==(const SchemaLock&) const = default;
};

// Describes one section of kind `kind` with `payload_len` bytes in a record of `n_atoms` atoms.
// Tags above 13 are refused; a per-atom section must hold exactly one element per atom.
[[nodiscard]] Result<SchemaEntry> schema_entry(uint8_t kind, std::string_view key, uint8_t type_tag,
                                               size_t payload_len, size_t n_atoms);

// Whether a section of type tag `tag` may occupy `slot_bytes` per atom (`per_atom`) or per
// molecule in the records a writer lays out: per atom, one element of the tag, or nothing for a
// fixed-size tag found in records of no atoms; per molecule, one value of a fixed-size tag, or
// whole elements of an array tag; text and null, whose length varies, take no fixed room.
bool slot_fits_tag(uint8_t tag, bool per_atom, uint64_t slot_bytes);

// Whether `entry` is one that this system's writers give the section (kind, key) of a database of
// record format `record_format`: a tag (a built-in field one of its tags in the format), a slot
// that fits it (`slot_fits_tag`), the per_atom flag that the kind and key give, the element length
// of the tag, and for a custom property the tag of a property value. A section of another kind or
// another kind-0 key, which only a record added as it is brings, has no tags of its own and is held
// to the other rules. Checked in that order; fails with "Section '{}' has invalid type tag {}",
// "... invalid slot length {} for type tag {}", "... invalid per_atom flag {}" or "... invalid
// element length {} for type tag {}". Appends refuse a new entry that fails it, and flat reads a
// lock that holds one.
[[nodiscard]] Status check_written_entry(uint8_t kind, std::string_view key,
                                         const SchemaEntry& entry, uint32_t record_format);

// `check_written_entry` for every entry of `lock`, in lock order; the first failure is returned.
[[nodiscard]] Status check_written_lock(const SchemaLock& lock, uint32_t record_format);

// The lock of one structure-of-arrays record, parsed with the record's own bounds checks.
// Built-in sections must carry a tag `record_format` admits. Of two sections with the same kind
// and key the later one is described. Bytes after the last section are not examined.
[[nodiscard]] Result<SchemaLock> record_schema(std::span<const uint8_t> record,
                                               uint32_t record_format,
                                               std::optional<uint8_t> positions_type);

// The lock record_schema would derive from the molecule's record, without building the record.
// Fails only for a per-atom field or property whose length is not one element per atom; when
// several are wrong, the built-in fields are reported first, then the per-atom properties in
// the map's iteration order.
[[nodiscard]] Result<SchemaLock> schema_from_molecule(const atom::Molecule& molecule);

// Extends `base` with the entries of `incoming`. Positions types and entries of keys both hold
// must be equal. On failure `base` is left exactly as it was.
[[nodiscard]] Status merge_schema_lock(SchemaLock& base, const SchemaLock& incoming);

// Whether `record_format` admits the lock: its positions type and the tags of its built-in
// sections.
[[nodiscard]] Status validate_schema_lock_for_record_format(uint32_t record_format,
                                                            const SchemaLock& lock);

// The blob of a lock. Keys of 65,536 bytes or more and sizes above 32 bits are refused.
[[nodiscard]] Result<Bytes> encode_schema_lock(const SchemaLock& lock);

// The lock a blob holds; the blob must be exactly its entries long. Kinds and type tags are
// taken as stored; of entries sharing a key the later one stays.
[[nodiscard]] Result<SchemaLock> decode_schema_lock(std::span<const uint8_t> blob);

}  // namespace kestrove::storage::schema

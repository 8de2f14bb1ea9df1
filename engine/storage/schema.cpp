// The schema lock: the one column layout every record of a database shares, and its blob.
#include "engine/storage/schema.hpp"

#include <algorithm>
#include <iterator>

#include "engine/storage/builtin_fields.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "engine/utf8.hpp"

namespace kestrove::storage::schema {

namespace {

constexpr uint8_t kMaxSectionTypeTag = dtypes::kTagNull;
constexpr size_t kMaxSchemaKeyBytes = UINT16_MAX;

Error invalid(std::string message) { return Error::invalid_data(std::move(message)); }

std::string quoted(std::string_view key) {
    std::string text;
    text.reserve(key.size() + 2);
    text += '\'';
    text += key;
    text += '\'';
    return text;
}

bool entry_key_less(const SectionMap::value_type& a, const SectionMap::value_type& b) {
    return section_key_less(a.first.kind, a.first.key, b.first.kind, b.first.key);
}

// The first item whose key does not sort before (kind, key).
template <class It>
It first_not_before(It first, It last, uint8_t kind, std::string_view key) {
    return std::partition_point(first, last, [&](const SectionMap::value_type& item) {
        return section_key_less(item.first.kind, item.first.key, kind, key);
    });
}

// "Unsupported positions type tag {}" unless the tag is one of the two positions types.
Result<size_t> positions_stride(uint8_t tag) {
    if (tag == dtypes::kTagVec3F32) return size_t{12};
    if (tag == dtypes::kTagVec3F64) return size_t{24};
    return invalid("Unsupported positions type tag " + std::to_string(tag));
}

}  // namespace

std::string debug_string(const SchemaEntry& entry) {
    std::string text = "SchemaEntry { type_tag: ";
    text += std::to_string(entry.type_tag);
    text += ", per_atom: ";
    text += entry.per_atom ? "true" : "false";
    text += ", elem_bytes: ";
    text += std::to_string(entry.elem_bytes);
    text += ", slot_bytes: ";
    text += std::to_string(entry.slot_bytes);
    text += " }";
    return text;
}

bool section_key_less(uint8_t a_kind, std::string_view a_key, uint8_t b_kind,
                      std::string_view b_key) {
    if (a_kind != b_kind) return a_kind < b_kind;
    // char_traits<char> compares as unsigned bytes, a prefix first.
    return a_key < b_key;
}

// ---------------------------------------------------------------------------------------------
// SectionMap

SectionMap SectionMap::from_entries(std::vector<value_type> entries) {
    const bool strictly_sorted =
        std::adjacent_find(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return !entry_key_less(a, b);
        }) == entries.end();
    if (!strictly_sorted) {
        std::stable_sort(entries.begin(), entries.end(), entry_key_less);
        // Equal keys now sit together in input order: keep the last of each run.
        size_t kept = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (kept > 0 && entries[kept - 1].first == entries[i].first) {
                entries[kept - 1] = std::move(entries[i]);
            } else {
                if (kept != i) entries[kept] = std::move(entries[i]);
                ++kept;
            }
        }
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
    }
    SectionMap map;
    map.items_ = std::move(entries);
    return map;
}

const SchemaEntry* SectionMap::find(uint8_t kind, std::string_view key) const {
    const auto it = first_not_before(items_.begin(), items_.end(), kind, key);
    if (it == items_.end() || it->first.kind != kind || it->first.key != key) return nullptr;
    return &it->second;
}

void SectionMap::insert_or_assign(uint8_t kind, std::string_view key, const SchemaEntry& entry) {
    const auto it = first_not_before(items_.begin(), items_.end(), kind, key);
    if (it != items_.end() && it->first.kind == kind && it->first.key == key) {
        it->second = entry;
        return;
    }
    items_.insert(it, value_type{SectionKey{kind, std::string(key)}, entry});
}

// ---------------------------------------------------------------------------------------------
// Derivation

Result<SchemaEntry> schema_entry(uint8_t kind, std::string_view key, uint8_t type_tag,
                                 size_t payload_len, size_t n_atoms) {
    SchemaEntry entry;
    entry.type_tag = type_tag;
    entry.per_atom = dtypes::is_per_atom_section(kind, key);
    if (type_tag > kMaxSectionTypeTag) {
        return invalid("Unsupported section type tag " + std::to_string(type_tag));
    }
    entry.elem_bytes = dtypes::type_tag_elem_bytes(type_tag);

    if (!entry.per_atom) {
        const bool variable = type_tag == dtypes::kTagString || type_tag == dtypes::kTagNull;
        entry.slot_bytes = variable ? 0 : payload_len;
        return entry;
    }

    size_t expected;
    if (__builtin_mul_overflow(entry.elem_bytes, n_atoms, &expected)) {
        return invalid("Schema overflow for section " + quoted(key));
    }
    if (payload_len != expected) {
        return invalid("Section " + quoted(key) + " payload length " + std::to_string(payload_len) +
                       " does not match expected " + std::to_string(expected));
    }
    // Array tags describe one element per atom. A scalar, matrix or flag tag on a per-atom
    // section is sized by the payload it was found with, which is 0 for a record of no atoms.
    const bool array_tag = type_tag >= dtypes::kTagF64Array && type_tag <= dtypes::kTagI32Array;
    entry.slot_bytes = array_tag ? entry.elem_bytes : payload_len / std::max<size_t>(n_atoms, 1);
    return entry;
}

bool slot_fits_tag(uint8_t tag, bool per_atom, uint64_t slot_bytes) {
    if (tag == dtypes::kTagString || tag == dtypes::kTagNull) return slot_bytes == 0;
    const uint64_t elem = dtypes::type_tag_elem_bytes(tag);
    if (elem == 0) return false;  // not a tag
    const bool fixed = dtypes::is_fixed_size_tag(tag);
    if (per_atom) return slot_bytes == elem || (fixed && slot_bytes == 0);
    return fixed ? slot_bytes == elem : slot_bytes % elem == 0;
}

namespace {

// The tags a built-in field may carry in the record format: its one tag where format 2 fixes the
// field's precision, else its single- and double-precision tags.
bool is_field_tag(const builtin_fields::BuiltinField& field, uint8_t tag, uint32_t record_format) {
    if (record_format == dtypes::kRecordFormat2 && field.has_format2_rule()) {
        return tag == field.format2_tag;
    }
    return tag == field.tag_f32 || tag == field.tag_f64;
}

}  // namespace

Status check_written_entry(uint8_t kind, std::string_view key, const SchemaEntry& entry,
                           uint32_t record_format) {
    const uint8_t tag = entry.type_tag;
    const auto refuse = [&](const std::string& what, std::optional<uint64_t> length = {}) {
        std::string text = "Section " + quoted(key) + " has invalid " + what;
        if (length) text += " " + std::to_string(*length) + " for type tag";
        return invalid(text + " " + std::to_string(tag));
    };
    const auto* field =
        kind == dtypes::kKindBuiltin ? builtin_fields::find_builtin_field(key) : nullptr;
    if (tag > kMaxSectionTypeTag ||
        (field != nullptr && !is_field_tag(*field, tag, record_format))) {
        return refuse("type tag");
    }
    if (!slot_fits_tag(tag, entry.per_atom, entry.slot_bytes)) {
        return refuse("slot length", entry.slot_bytes);
    }
    if (entry.per_atom != dtypes::is_per_atom_section(kind, key)) {
        return invalid("Section " + quoted(key) + " has invalid per_atom flag " +
                       std::string(entry.per_atom ? "1" : "0"));
    }
    if (entry.elem_bytes != dtypes::type_tag_elem_bytes(tag)) {
        return refuse("element length", entry.elem_bytes);
    }
    const bool custom = kind == dtypes::kKindAtomProperty || kind == dtypes::kKindMolProperty;
    if (custom && !dtypes::is_property_type_tag(tag)) return refuse("type tag");
    return {};
}

Status check_written_lock(const SchemaLock& lock, uint32_t record_format) {
    for (const auto& [key, entry] : lock.sections) {
        KESTROVE_TRY(check_written_entry(key.kind, key.key, entry, record_format));
    }
    return {};
}

Result<SchemaLock> record_schema(std::span<const uint8_t> record, uint32_t record_format,
                                 std::optional<uint8_t> positions_type) {
    auto resolved = soa::resolve_positions_type(record_format, positions_type);
    if (!resolved.ok()) return std::move(resolved).error();
    const uint8_t positions_tag = resolved.value();
    auto stride = positions_stride(positions_tag);
    if (!stride.ok()) return std::move(stride).error();

    const uint8_t* const data = record.data();
    const size_t size = record.size();
    if (size < soa::kRecordHeadBytes + soa::kSectionCountBytes) {
        return invalid("SOA record too small");
    }
    const uint32_t n_atoms = coding::load<uint32_t>(data);
    size_t p = soa::kRecordHeadBytes;
    // At most 24 × (2^32 − 1): no overflow in 64 bits.
    const uint64_t positions_len = uint64_t{stride.value()} * n_atoms;
    if (positions_len > size - p) return invalid("SOA record truncated at positions");
    p += static_cast<size_t>(positions_len);
    if (n_atoms > size - p) return invalid("SOA record truncated at atomic_numbers");
    p += n_atoms;
    if (size - p < soa::kSectionCountBytes) return invalid("SOA record truncated at n_sections");
    const uint16_t n_sections = coding::load<uint16_t>(data + p);
    p += soa::kSectionCountBytes;

    std::vector<SectionMap::value_type> entries;
    // Every section takes at least 7 bytes, so the record backs this many.
    entries.reserve(std::min<size_t>(n_sections, (size - p) / soa::kSectionFixedBytes));
    for (uint16_t i = 0; i < n_sections; ++i) {
        if (size - p < soa::kSectionFixedBytes) return invalid("SOA section header truncated");
        const uint8_t kind = data[p];
        const uint8_t key_len = data[p + 1];
        p += 2;
        if (key_len > size - p) return invalid("SOA section key truncated");
        const std::string_view key(reinterpret_cast<const char*>(data + p), key_len);
        if (!is_valid_utf8(key)) return invalid("Invalid UTF-8 in section key");
        p += key_len;
        if (size - p < 5) return invalid("SOA section header truncated");
        const uint8_t tag = data[p];
        const uint32_t payload_len = coding::load<uint32_t>(data + p + 1);
        p += 5;
        if (payload_len > size - p) return invalid("SOA section payload truncated");
        if (kind == dtypes::kKindBuiltin) {
            KESTROVE_TRY(
                dtypes::validate_builtin_type_tag_for_record_format(record_format, key, tag));
        }
        auto entry = schema_entry(kind, key, tag, payload_len, n_atoms);
        if (!entry.ok()) return std::move(entry).error();
        entries.emplace_back(SectionKey{kind, std::string(key)}, entry.value());
        p += payload_len;
    }

    SchemaLock lock;
    lock.positions_type = positions_tag;
    lock.sections = SectionMap::from_entries(std::move(entries));
    return lock;
}

Result<SchemaLock> schema_from_molecule(const atom::Molecule& molecule) {
    const size_t n_atoms = molecule.num_positions();
    soa::BuiltinSections builtins;
    soa::collect_builtin_sections(molecule, builtins);

    // One allocation for the entries; built-in keys fit the strings' inline buffer.
    std::vector<SectionMap::value_type> entries;
    entries.reserve(builtins.count + molecule.atom_properties.size() + molecule.properties.size());
    // The serialised record holds exactly these sections with these tags and payload lengths,
    // so deriving each entry the way record_schema does gives the same lock.
    for (size_t i = 0; i < builtins.count; ++i) {
        const soa::SectionSource& s = builtins.items[i];
        auto entry = schema_entry(s.kind, s.key, s.tag, s.payload_len, n_atoms);
        if (!entry.ok()) return std::move(entry).error();
        entries.emplace_back(SectionKey{s.kind, std::string(s.key)}, entry.value());
    }
    const std::pair<uint8_t, const atom::PropertyMap*> maps[] = {
        {dtypes::kKindAtomProperty, &molecule.atom_properties},
        {dtypes::kKindMolProperty, &molecule.properties},
    };
    for (const auto& [kind, map] : maps) {
        const size_t first = entries.size();
        for (const auto& [key, value] : *map) {
            auto entry = schema_entry(kind, key, dtypes::property_type_tag(value),
                                      dtypes::property_payload_len(value), n_atoms);
            if (!entry.ok()) return std::move(entry).error();
            entries.emplace_back(SectionKey{kind, key}, entry.value());
        }
        // Keys of one map are unique, so an unstable sort gives the map order.
        std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                  entry_key_less);
    }

    SchemaLock lock;
    lock.positions_type =
        molecule.positions.index() == types::kF32 ? dtypes::kTagVec3F32 : dtypes::kTagVec3F64;
    lock.sections = SectionMap::from_entries(std::move(entries));
    return lock;
}

// ---------------------------------------------------------------------------------------------
// Merge and record-format check

Status merge_schema_lock(SchemaLock& base, const SchemaLock& incoming) {
    if (base.positions_type && incoming.positions_type &&
        *base.positions_type != *incoming.positions_type) {
        return invalid("Position dtype mismatch: expected type tag " +
                       std::to_string(*base.positions_type) + ", got " +
                       std::to_string(*incoming.positions_type));
    }

    // Both maps are sorted: one joint walk checks every shared key and counts the new ones
    // before base is touched, so a refusal leaves base as it was.
    size_t new_entries = 0;
    {
        auto b = base.sections.begin();
        for (const auto& [key, entry] : incoming.sections) {
            while (b != base.sections.end() &&
                   section_key_less(b->first.kind, b->first.key, key.kind, key.key)) {
                ++b;
            }
            if (b != base.sections.end() && b->first == key) {
                if (b->second != entry) {
                    return invalid("Schema mismatch for section " + quoted(key.key) +
                                   ": expected " + debug_string(b->second) + ", got " +
                                   debug_string(entry));
                }
            } else {
                ++new_entries;
            }
        }
    }

    if (new_entries > 0) {
        std::vector<SectionMap::value_type> merged;
        merged.reserve(base.sections.size() + new_entries);
        // Keys held by both have equal entries; the union keeps base's and drops the other.
        std::set_union(base.sections.begin(), base.sections.end(), incoming.sections.begin(),
                       incoming.sections.end(), std::back_inserter(merged), entry_key_less);
        base.sections = SectionMap::from_entries(std::move(merged));
    }
    if (!base.positions_type) base.positions_type = incoming.positions_type;
    return {};
}

Status validate_schema_lock_for_record_format(uint32_t record_format, const SchemaLock& lock) {
    auto resolved = soa::resolve_positions_type(record_format, lock.positions_type);
    if (!resolved.ok()) return std::move(resolved).error();
    auto stride = positions_stride(resolved.value());
    if (!stride.ok()) return std::move(stride).error();
    for (const auto& [key, entry] : lock.sections) {
        if (key.kind != dtypes::kKindBuiltin) continue;
        KESTROVE_TRY(dtypes::validate_builtin_type_tag_for_record_format(record_format, key.key,
                                                                         entry.type_tag));
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Blob

Result<Bytes> encode_schema_lock(const SchemaLock& lock) {
    // Every limit is checked, in entry order, while the exact length is summed; writing then
    // cannot fail.
    size_t total = kSchemaBlobHeadBytes;
    for (const auto& [key, entry] : lock.sections) {
        if (key.key.size() > kMaxSchemaKeyBytes) {
            return invalid("Schema key " + quoted(key.key) + " is too long");
        }
        if (entry.elem_bytes > UINT32_MAX) {
            return invalid("Schema elem_bytes overflow for " + quoted(key.key));
        }
        if (entry.slot_bytes > UINT32_MAX) {
            return invalid("Schema slot_bytes overflow for " + quoted(key.key));
        }
        total += kSchemaEntryFixedBytes + key.key.size();
    }
    // Out of reach in practice (it takes billions of entries), but a wrapped count would make
    // the blob unreadable.
    if (lock.sections.size() > UINT32_MAX) return invalid("Schema has too many entries");

    Bytes blob(total);
    coding::Writer out(blob);
    out.put<uint32_t>(kSchemaBlobVersion);
    out.put<uint8_t>(lock.positions_type.value_or(kNoPositionsType));
    out.put<uint32_t>(static_cast<uint32_t>(lock.sections.size()));
    for (const auto& [key, entry] : lock.sections) {
        out.put<uint8_t>(key.kind);
        out.put<uint8_t>(entry.type_tag);
        out.put<uint8_t>(entry.per_atom ? 1 : 0);
        out.put<uint16_t>(static_cast<uint16_t>(key.key.size()));
        out.put<uint32_t>(static_cast<uint32_t>(entry.elem_bytes));
        out.put<uint32_t>(static_cast<uint32_t>(entry.slot_bytes));
        out.put_bytes(key.key.data(), key.key.size());
    }
    return blob;
}

Result<SchemaLock> decode_schema_lock(std::span<const uint8_t> blob) {
    const uint8_t* const data = blob.data();
    const size_t size = blob.size();
    if (size < kSchemaBlobHeadBytes) return invalid("Schema blob too small");
    const uint32_t version = coding::load<uint32_t>(data);
    if (version != kSchemaBlobVersion) {
        return invalid("Unsupported schema blob version " + std::to_string(version));
    }
    SchemaLock lock;
    const uint8_t positions = data[4];
    if (positions == dtypes::kTagVec3F32 || positions == dtypes::kTagVec3F64) {
        lock.positions_type = positions;
    } else if (positions != kNoPositionsType) {
        return invalid("Unsupported schema positions type tag " + std::to_string(positions));
    }
    const uint32_t count = coding::load<uint32_t>(data + 5);

    size_t p = kSchemaBlobHeadBytes;
    std::vector<SectionMap::value_type> entries;
    // The count is untrusted; every entry takes at least 13 bytes, so the blob backs this many.
    entries.reserve(std::min<size_t>(count, (size - p) / kSchemaEntryFixedBytes));
    for (uint32_t i = 0; i < count; ++i) {
        if (size - p < kSchemaEntryFixedBytes) return invalid("Schema blob truncated");
        const uint8_t kind = data[p];
        SchemaEntry entry;
        entry.type_tag = data[p + 1];
        const uint8_t per_atom = data[p + 2];
        if (per_atom > 1) return invalid("Invalid schema per_atom flag");
        entry.per_atom = per_atom == 1;
        const uint16_t key_len = coding::load<uint16_t>(data + p + 3);
        entry.elem_bytes = coding::load<uint32_t>(data + p + 5);
        entry.slot_bytes = coding::load<uint32_t>(data + p + 9);
        p += kSchemaEntryFixedBytes;
        if (key_len > size - p) return invalid("Schema blob truncated at key");
        const std::string_view key(reinterpret_cast<const char*>(data + p), key_len);
        if (!is_valid_utf8(key)) return invalid("Invalid UTF-8 in schema key");
        p += key_len;
        entries.emplace_back(SectionKey{kind, std::string(key)}, entry);
    }
    if (p != size) return invalid("Schema blob trailing bytes");
    lock.sections = SectionMap::from_entries(std::move(entries));
    return lock;
}

}  // namespace kestrove::storage::schema

// The structure-of-arrays record writer and the record-format rules of a whole molecule.
#include "engine/storage/soa.hpp"

#include <algorithm>
#include <string>
#include <tuple>
#include <type_traits>

#include "engine/storage/builtin_fields.hpp"
#include "engine/storage/dtypes.hpp"

namespace kestrove::storage::soa {

using dtypes::kKindAtomProperty;
using dtypes::kKindBuiltin;
using dtypes::kKindMolProperty;
using types::kF32;

namespace {

template <class V>
std::pair<const void*, size_t> raw(const std::vector<V>& v) {
    return {v.data(), v.size() * sizeof(V)};
}

// Pointer and byte length of the active alternative of a precision-tagged container.
template <class Variant>
std::pair<const void*, size_t> raw_variant(const Variant& data) {
    return std::visit(
        [](const auto& v) -> std::pair<const void*, size_t> {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_arithmetic_v<V>) {
                return {&v, sizeof v};
            } else if constexpr (std::is_same_v<V, types::Mat3f> ||
                                 std::is_same_v<V, types::Mat3d>) {
                return {v.data(), sizeof v};
            } else {
                return raw(v);
            }
        },
        data);
}

}  // namespace

void collect_builtin_sections(const atom::Molecule& m, BuiltinSections& out) {
    out.count = 0;
    for (const builtin_fields::BuiltinField& field : builtin_fields::kBuiltinFields) {
        builtin_fields::visit_member(m, field, [&](const auto& member) {
            if (!member) return;
            using V = std::decay_t<decltype(*member)>;
            SectionSource& s = out.items[out.count++];
            s.kind = kKindBuiltin;
            s.key = field.key;
            if constexpr (std::is_same_v<V, std::string>) {
                s.tag = field.tag_f32;
                s.payload = member->data();
                s.payload_len = member->size();
            } else if constexpr (std::is_same_v<V, std::array<bool, 3>>) {
                for (size_t i = 0; i < 3; ++i) out.pbc_bytes[i] = (*member)[i] ? 1 : 0;
                s.tag = field.tag_f32;
                s.payload = out.pbc_bytes.data();
                s.payload_len = out.pbc_bytes.size();
            } else {
                s.tag = field.tag_for(member->index());
                std::tie(s.payload, s.payload_len) = raw_variant(*member);
            }
        });
    }
}

std::vector<const atom::PropertyMap::value_type*> sorted_properties(const atom::PropertyMap& map) {
    std::vector<const atom::PropertyMap::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    // std::string orders its chars as unsigned bytes, a prefix first: the record key order.
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    return entries;
}

Status validate_record_format_compat(const atom::Molecule& m, uint32_t record_format) {
    using dtypes::kRecordFormat2;
    using dtypes::kRecordFormat3;
    if (m.positions.index() != kF32) {
        if (record_format == kRecordFormat2) {
            return Error::invalid_data("record format 2 does not support float64 positions");
        }
        if (record_format == kRecordFormat3) return {};
        return dtypes::unsupported_record_format(record_format);
    }
    if (record_format == kRecordFormat3) return {};
    if (record_format != kRecordFormat2) return dtypes::unsupported_record_format(record_format);

    // Only the precision-tagged fields have a format-2 rule; name and pbc are always admitted.
    BuiltinSections builtins;
    collect_builtin_sections(m, builtins);
    for (size_t i = 0; i < builtins.count; ++i) {
        const SectionSource& s = builtins.items[i];
        KESTROVE_TRY(
            dtypes::validate_builtin_type_tag_for_record_format(record_format, s.key, s.tag));
    }
    return {};
}

uint32_t minimum_record_format_for_molecule(const atom::Molecule& molecule) {
    return validate_record_format_compat(molecule, dtypes::kRecordFormat2).ok()
               ? dtypes::kRecordFormat2
               : dtypes::kRecordFormat3;
}

Result<uint8_t> resolve_positions_type(uint32_t record_format,
                                       std::optional<uint8_t> positions_type) {
    if (record_format == dtypes::kRecordFormat2) {
        if (positions_type == dtypes::kTagVec3F64) {
            return Error::invalid_data("record format 2 does not support float64 positions");
        }
        return uint8_t{dtypes::kTagVec3F32};
    }
    if (record_format == dtypes::kRecordFormat3) {
        if (!positions_type) {
            return Error::invalid_data("Missing positions dtype for record format 3");
        }
        return *positions_type;
    }
    return dtypes::unsupported_record_format(record_format);
}

Status check_section(std::string_view key, uint64_t payload_len) {
    if (key.size() > kMaxKeyBytes) {
        return Error::invalid_data("Section key '" + std::string(key) + "' is too long");
    }
    if (payload_len > kMaxPayloadBytes) {
        return Error::invalid_data("Section '" + std::string(key) + "' payload is too large");
    }
    return {};
}

namespace {

// Everything of a section but its payload; the limits must have been checked.
void write_section_head(coding::Writer& out, uint8_t kind, std::string_view key, uint8_t tag,
                        size_t payload_len) {
    out.put<uint8_t>(kind);
    out.put<uint8_t>(static_cast<uint8_t>(key.size()));
    out.put_bytes(key.data(), key.size());
    out.put<uint8_t>(tag);
    out.put<uint32_t>(static_cast<uint32_t>(payload_len));
}

}  // namespace

Status write_section(coding::Writer& out, uint8_t kind, std::string_view key, uint8_t tag,
                     const void* payload, size_t payload_len) {
    KESTROVE_TRY(check_section(key, payload_len));
    write_section_head(out, kind, key, tag, payload_len);
    out.put_bytes(payload, payload_len);
    return {};
}

std::string too_many_atoms_message(uint64_t n_atoms) {
    return "Atom count " + std::to_string(n_atoms) + " exceeds the record limit of " +
           std::to_string(kMaxAtoms);
}

Result<Bytes> serialize_molecule_soa(const atom::Molecule& m, uint32_t record_format) {
    const size_t n_atoms = m.num_positions();
    // A record's n_atoms describes both the positions and the atomic-number block.
    if (m.atomic_numbers.size() != n_atoms) {
        return Error::invalid_data(
            atom::atom_count_mismatch_message(m.atomic_numbers.size(), n_atoms));
    }
    if (n_atoms > kMaxAtoms) {
        return Error::invalid_data(too_many_atoms_message(n_atoms));
    }
    KESTROVE_TRY(validate_record_format_compat(m, record_format));

    BuiltinSections builtins;
    collect_builtin_sections(m, builtins);
    const size_t n_sections = builtins.count + m.atom_properties.size() + m.properties.size();
    if (n_sections > kMaxSections) return Error::invalid_data("Too many SOA sections");

    const auto atom_props = sorted_properties(m.atom_properties);
    const auto mol_props = sorted_properties(m.properties);

    // Every limit is checked, in writing order, while the exact length is summed, so that the
    // single allocation below is never grown and writing cannot fail halfway.
    const auto [pos_data, pos_len] = raw_variant(m.positions);
    size_t total = kRecordHeadBytes + pos_len + n_atoms + kSectionCountBytes;
    for (size_t i = 0; i < builtins.count; ++i) {
        const SectionSource& s = builtins.items[i];
        KESTROVE_TRY(check_section(s.key, s.payload_len));
        total += kSectionFixedBytes + s.key.size() + s.payload_len;
    }
    for (const auto* props : {&atom_props, &mol_props}) {
        for (const auto* entry : *props) {
            const size_t len = dtypes::property_payload_len(entry->second);
            KESTROVE_TRY(check_section(entry->first, len));
            total += kSectionFixedBytes + entry->first.size() + len;
        }
    }

    Bytes record(total);
    coding::Writer out(record);
    out.put<uint32_t>(static_cast<uint32_t>(n_atoms));
    out.put_bytes(pos_data, pos_len);
    out.put_bytes(m.atomic_numbers.data(), n_atoms);
    out.put<uint16_t>(static_cast<uint16_t>(n_sections));
    for (size_t i = 0; i < builtins.count; ++i) {
        const SectionSource& s = builtins.items[i];
        (void)write_section(out, s.kind, s.key, s.tag, s.payload, s.payload_len);
    }
    const std::pair<uint8_t, const decltype(atom_props)*> custom[] = {
        {kKindAtomProperty, &atom_props}, {kKindMolProperty, &mol_props}};
    for (const auto& [kind, props] : custom) {
        for (const auto* entry : *props) {
            const auto& [key, value] = *entry;
            write_section_head(out, kind, key, dtypes::property_type_tag(value),
                               dtypes::property_payload_len(value));
            dtypes::write_property_payload(out, value);
        }
    }
    return record;
}

}  // namespace kestrove::storage::soa

// The eager, borrowing parser of structure-of-arrays records and the section column derivations.
#include "engine/view/record_parser.hpp"

#include <algorithm>

#include "engine/coding.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "engine/utf8.hpp"

namespace kestrove::view {

namespace {

namespace dtypes = storage::dtypes;

Error invalid(std::string message) { return Error::invalid_data(std::move(message)); }
Error truncated(std::string_view label) { return invalid(std::string(label) + " truncated"); }

std::string invalid_length_message(std::string_view key, uint64_t len, uint64_t expected) {
    return "Section '" + std::string(key) + "' has invalid payload length " + std::to_string(len) +
           " (expected " + std::to_string(expected) + ")";
}

std::string length_overflow_message(std::string_view key) {
    return "Section '" + std::string(key) + "' payload length overflow";
}

// The parse proper; on failure `out` may hold the sections read before the fault.
Status parse_sections_into(std::span<const uint8_t> bytes, size_t bytes_per_atom,
                           ParsedSoaRecord& out) {
    out.sections.clear();
    const uint8_t* const data = bytes.data();
    const uint64_t len = bytes.size();
    if (len < storage::soa::kRecordHeadBytes) return truncated("SOA n_atoms");
    const uint32_t n_atoms = coding::load<uint32_t>(data);
    uint64_t positions_len;
    if (__builtin_mul_overflow(uint64_t{n_atoms}, uint64_t{bytes_per_atom}, &positions_len)) {
        return invalid("SOA positions byte length overflow");
    }
    uint64_t positions_end;
    if (__builtin_add_overflow(uint64_t{storage::soa::kRecordHeadBytes}, positions_len,
                               &positions_end)) {
        return invalid("SOA positions offset overflow");
    }
    if (positions_end > len) return truncated("SOA positions");
    // positions_end ≤ len, so neither sum below can overflow 64 bits.
    const uint64_t numbers_end = positions_end + n_atoms;
    if (numbers_end > len) return truncated("SOA atomic_numbers");
    if (numbers_end + storage::soa::kSectionCountBytes > len) return truncated("SOA n_sections");
    const uint16_t n_sections = coding::load<uint16_t>(data + numbers_end);
    uint64_t c = numbers_end + storage::soa::kSectionCountBytes;
    // Every section takes at least 7 bytes: reserve no more than the record can back.
    out.sections.reserve(
        std::min<uint64_t>(n_sections, (len - c) / storage::soa::kSectionFixedBytes));

    for (uint32_t i = 0; i < n_sections; ++i) {
        // Invariant: c ≤ len, so c + 2 + 255 + 5 + 2^32 fits 64 bits.
        if (c >= len) return truncated("SOA section kind");
        if (c + 2 > len) return truncated("SOA section key length");
        const uint8_t kind = data[c];
        const uint8_t key_len = data[c + 1];
        const uint64_t key_start = c + 2;
        const uint64_t key_end = key_start + key_len;
        if (key_end > len) return truncated("SOA section key");
        const std::string_view key(reinterpret_cast<const char*>(data + key_start), key_len);
        if (!is_valid_utf8(key)) return invalid("Invalid UTF-8 in SOA section key");
        if (key_end >= len) return truncated("SOA section type tag");
        if (key_end + 5 > len) return truncated("SOA section payload length");
        const uint8_t tag = data[key_end];
        const uint32_t payload_len = coding::load<uint32_t>(data + key_end + 1);
        const uint64_t payload_start = key_end + 5;
        const uint64_t payload_end = payload_start + payload_len;
        if (payload_end > len) return truncated("SOA section payload");
        out.sections.push_back(
            SoaSectionRef{key, bytes.subspan(payload_start, payload_len), kind, tag});
        c = payload_end;
    }
    out.positions = bytes.subspan(storage::soa::kRecordHeadBytes, positions_len);
    out.atomic_numbers = bytes.subspan(positions_end, n_atoms);
    out.n_atoms = n_atoms;
    return {};
}

}  // namespace

Status parse_mol_fast_soa_into(std::span<const uint8_t> bytes, size_t bytes_per_atom,
                               ParsedSoaRecord& out) {
    Status status = parse_sections_into(bytes, bytes_per_atom, out);
    if (!status.ok()) {
        // Whatever the failure, nothing of the bad record (nor of the one before) stays visible.
        out.sections.clear();
        out.positions = {};
        out.atomic_numbers = {};
        out.n_atoms = 0;
    }
    return status;
}

Result<ParsedSoaRecord> parse_mol_fast_soa(std::span<const uint8_t> bytes, size_t bytes_per_atom) {
    ParsedSoaRecord parsed;
    KESTROVE_TRY(parse_mol_fast_soa_into(bytes, bytes_per_atom, parsed));
    return parsed;
}

Error per_atom_text_error(std::string_view key) {
    return invalid("String section '" + std::string(key) +
                   "' cannot be per-atom in flat extraction");
}

Result<SectionSchema> section_schema_from_ref(const SoaSectionRef& section, size_t n_atoms) {
    SectionSchema schema;
    schema.key = std::string(section.key);
    schema.kind = section.kind;
    schema.type_tag = section.type_tag;
    schema.per_atom = dtypes::is_per_atom_section(section.kind, section.key);
    const uint8_t tag = section.type_tag;
    const uint64_t len = section.payload.size();

    if (tag == dtypes::kTagString) {
        if (!is_valid_utf8(section.payload)) {
            return invalid("Invalid UTF-8 in section '" + schema.key + "'");
        }
        if (schema.per_atom) return per_atom_text_error(schema.key);
        return schema;
    }
    if (tag == dtypes::kTagNull) {
        if (len != 0) return invalid(invalid_length_message(schema.key, len, 0));
        return schema;
    }
    const uint64_t size = dtypes::type_tag_elem_bytes(tag);
    if (schema.per_atom) {
        if (tag > dtypes::kTagNull) {
            return invalid("Unsupported per-atom section type tag " + std::to_string(tag) +
                           " for key '" + schema.key + "'");
        }
        schema.elem_bytes = schema.slot_bytes = size;
        if (dtypes::is_fixed_size_tag(tag)) {
            if (len != size) return invalid(invalid_length_message(schema.key, len, size));
        } else {
            uint64_t expected;
            if (__builtin_mul_overflow(uint64_t{n_atoms}, size, &expected)) {
                return invalid(length_overflow_message(schema.key));
            }
            if (len != expected) return invalid(invalid_length_message(schema.key, len, expected));
        }
        return schema;
    }
    if (dtypes::is_fixed_size_tag(tag)) {
        schema.elem_bytes = size;
        schema.slot_bytes = len;
    } else {
        schema.elem_bytes = schema.slot_bytes = len;
    }
    return schema;
}

Result<storage::DatabaseSchemaSection, std::string> database_schema_section(
    uint8_t kind, std::string_view key, uint8_t type_tag, uint64_t payload_len, size_t n_atoms) {
    storage::DatabaseSchemaSection section;
    section.kind = kind;
    section.key = std::string(key);
    section.type_tag = type_tag;
    section.per_atom = dtypes::is_per_atom_section(kind, key);
    if (type_tag > dtypes::kTagNull) {
        return "Unsupported section type tag " + std::to_string(type_tag) + " for '" + section.key +
               "'";
    }
    if (type_tag == dtypes::kTagString || type_tag == dtypes::kTagNull) return section;
    const uint64_t size = dtypes::type_tag_elem_bytes(type_tag);
    if (section.per_atom) {
        uint64_t expected;
        if (__builtin_mul_overflow(uint64_t{n_atoms}, size, &expected)) {
            return length_overflow_message(key);
        }
        if (payload_len != expected) return invalid_length_message(key, payload_len, expected);
        section.elem_bytes = section.slot_bytes = size;
        return section;
    }
    section.elem_bytes = size;
    section.slot_bytes = payload_len;
    return section;
}

}  // namespace kestrove::view

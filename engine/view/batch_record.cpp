// Structure-of-arrays records built straight from raw field bytes, one row of a batch at a time.
#include "engine/view/batch_record.hpp"

#include <cassert>

#include "engine/atom.hpp"
#include "engine/storage/builtin_fields.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"

namespace kestrove::view {

namespace {

namespace dtypes = storage::dtypes;
namespace soa = storage::soa;

constexpr size_t kBuiltinFields = storage::builtin_fields::kBuiltinFieldCount;

// The present built-in fields as sections, in record order: the order of the molecule record
// writer, so that both writers produce the same bytes. `pbc` points into `builtins`.
size_t collect_builtin_sections(const SoaBuiltinSlices& builtins,
                                std::array<soa::SectionSource, kBuiltinFields>& out) {
    size_t count = 0;
    auto add = [&](std::string_view key, uint8_t tag, const void* payload, size_t len) {
        out[count++] = soa::SectionSource{dtypes::kKindBuiltin, key, tag, payload, len};
    };
    auto add_typed = [&](std::string_view key, const std::optional<SoaTypedSlice>& slice) {
        if (slice) add(key, slice->type_tag, slice->payload.data(), slice->payload.size());
    };
    add_typed(dtypes::kKeyCharges, builtins.charges);
    add_typed(dtypes::kKeyCell, builtins.cell);
    add_typed(dtypes::kKeyEnergy, builtins.energy);
    add_typed(dtypes::kKeyForces, builtins.forces);
    if (builtins.name) {
        add(dtypes::kKeyName, dtypes::kTagString, builtins.name->data(), builtins.name->size());
    }
    if (builtins.pbc) add(dtypes::kKeyPbc, dtypes::kTagBool3, builtins.pbc->data(), 3);
    add_typed(dtypes::kKeyStress, builtins.stress);
    add_typed(dtypes::kKeyVelocities, builtins.velocities);
    return count;
}

}  // namespace

Result<Bytes, std::string> build_soa_record_unchecked(uint8_t positions_type_tag,
                                                      std::span<const uint8_t> positions,
                                                      std::span<const uint8_t> atomic_numbers,
                                                      const SoaBuiltinSlices& builtins,
                                                      std::span<const SoaSectionRef> custom) {
    if (positions_type_tag != dtypes::kTagVec3F32 && positions_type_tag != dtypes::kTagVec3F64) {
        return "Unsupported positions type tag " + std::to_string(positions_type_tag);
    }
    const size_t triple_bytes = dtypes::type_tag_elem_bytes(positions_type_tag);
    if (positions.size() % triple_bytes != 0) {
        return "positions payload length (" + std::to_string(positions.size()) +
               ") is not a multiple of " + std::to_string(triple_bytes);
    }
    const size_t n_atoms = positions.size() / triple_bytes;
    if (atomic_numbers.size() != n_atoms) {
        return atom::atom_count_mismatch_message(atomic_numbers.size(), n_atoms);
    }
    // n_atoms is stored as a u32; a larger count would describe the wrong blocks.
    if (n_atoms > soa::kMaxAtoms) return soa::too_many_atoms_message(n_atoms);

    std::array<soa::SectionSource, kBuiltinFields> builtin_sections;
    const size_t n_builtins = collect_builtin_sections(builtins, builtin_sections);
    if (custom.size() > soa::kMaxSections - n_builtins) return std::string("Too many SOA sections");

    // Every section is checked in writing order while the exact length is summed, so that the one
    // allocation below is never grown and writing cannot fail halfway. The sum cannot overflow:
    // the positions are in memory, and each of at most 65,535 sections is below 2^33 bytes.
    size_t total = soa::kRecordHeadBytes + positions.size() + n_atoms + soa::kSectionCountBytes;
    for (size_t i = 0; i < n_builtins; ++i) {
        const soa::SectionSource& s = builtin_sections[i];
        if (Status checked = soa::check_section(s.key, s.payload_len); !checked) {
            return std::string(checked.error().message());
        }
        total += soa::kSectionFixedBytes + s.key.size() + s.payload_len;
    }
    for (const SoaSectionRef& s : custom) {
        if (Status checked = soa::check_section(s.key, s.payload.size()); !checked) {
            return std::string(checked.error().message());
        }
        total += soa::kSectionFixedBytes + s.key.size() + s.payload.size();
    }

    Bytes record(total);
    coding::Writer out(record);
    out.put<uint32_t>(static_cast<uint32_t>(n_atoms));
    out.put_bytes(positions.data(), positions.size());
    out.put_bytes(atomic_numbers.data(), n_atoms);
    out.put<uint16_t>(static_cast<uint16_t>(n_builtins + custom.size()));
    for (size_t i = 0; i < n_builtins; ++i) {
        const soa::SectionSource& s = builtin_sections[i];
        (void)soa::write_section(out, s.kind, s.key, s.tag, s.payload, s.payload_len);
    }
    for (const SoaSectionRef& s : custom) {
        (void)soa::write_section(out, s.kind, s.key, s.type_tag, s.payload.data(),
                                 s.payload.size());
    }
    assert(out.remaining() == 0);
    return record;
}

std::optional<std::string> write_soa_section_raw(Bytes& out, uint8_t kind, std::string_view key,
                                                 uint8_t type_tag,
                                                 std::span<const uint8_t> payload) {
    if (Status checked = soa::check_section(key, payload.size()); !checked) {
        return checked.error().message();
    }
    const size_t start = out.size();
    out.resize(start + soa::kSectionFixedBytes + key.size() + payload.size());
    coding::Writer writer(out.data() + start, out.data() + out.size());
    (void)soa::write_section(writer, kind, key, type_tag, payload.data(), payload.size());
    return std::nullopt;
}

}  // namespace kestrove::view

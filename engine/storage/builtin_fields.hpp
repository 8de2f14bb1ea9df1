// The eight built-in fields of a molecule, described once for every writer and reader of them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/atom.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/types.hpp"

namespace kestrove::storage::builtin_fields {

// Where a field lives in a Molecule: one member pointer per member type.
using Member = std::variant<std::optional<types::FloatArrayData> atom::Molecule::*,
                            std::optional<types::Mat3Data> atom::Molecule::*,
                            std::optional<types::FloatScalarData> atom::Molecule::*,
                            std::optional<types::Vec3Data> atom::Molecule::*,
                            std::optional<std::string> atom::Molecule::*,
                            std::optional<std::array<bool, 3>> atom::Molecule::*>;

struct BuiltinField {
    // The section key, a fixed ASCII text.
    std::string_view key;
    // One element per atom ("charges", "forces", "velocities"); otherwise one per molecule.
    bool per_atom;
    // The tag of the field in single and in double precision; fields without a precision
    // ("name", "pbc") carry the same tag in both.
    uint8_t tag_f32;
    uint8_t tag_f64;
    // Record format 2 fixes the precision of the precision-tagged fields: the one tag it admits,
    // and the refusal of every other tag. Null for fields without a format-2 rule.
    uint8_t format2_tag;
    const char* format2_refusal;
    Member member;

    bool has_format2_rule() const { return format2_refusal != nullptr; }
    // The tag of the field in the given precision (types::kF32 or types::kF64).
    uint8_t tag_for(size_t precision) const { return precision == types::kF32 ? tag_f32 : tag_f64; }
};

inline constexpr size_t kBuiltinFieldCount = 8;

// In record order: the order in which a record holds the built-in sections and in which the
// record-format rules examine them.
inline constexpr std::array<BuiltinField, kBuiltinFieldCount> kBuiltinFields = {{
    {dtypes::kKeyCharges, true, dtypes::kTagF32Array, dtypes::kTagF64Array, dtypes::kTagF64Array,
     "record format 2 does not support float32 charges", &atom::Molecule::charges},
    {dtypes::kKeyCell, false, dtypes::kTagMat3F32, dtypes::kTagMat3F64, dtypes::kTagMat3F64,
     "record format 2 does not support float32 cell", &atom::Molecule::cell},
    {dtypes::kKeyEnergy, false, dtypes::kTagF32, dtypes::kTagF64, dtypes::kTagF64,
     "record format 2 does not support float32 energy", &atom::Molecule::energy},
    {dtypes::kKeyForces, true, dtypes::kTagVec3F32, dtypes::kTagVec3F64, dtypes::kTagVec3F32,
     "record format 2 does not support float64 forces", &atom::Molecule::forces},
    {dtypes::kKeyName, false, dtypes::kTagString, dtypes::kTagString, 0, nullptr,
     &atom::Molecule::name},
    {dtypes::kKeyPbc, false, dtypes::kTagBool3, dtypes::kTagBool3, 0, nullptr,
     &atom::Molecule::pbc},
    {dtypes::kKeyStress, false, dtypes::kTagMat3F32, dtypes::kTagMat3F64, dtypes::kTagMat3F64,
     "record format 2 does not support float32 stress", &atom::Molecule::stress},
    {dtypes::kKeyVelocities, true, dtypes::kTagVec3F32, dtypes::kTagVec3F64, dtypes::kTagVec3F32,
     "record format 2 does not support float64 velocities", &atom::Molecule::velocities},
}};

// The field of section key `key`, or null when the key is not a built-in one.
inline const BuiltinField* find_builtin_field(std::string_view key) {
    for (const BuiltinField& field : kBuiltinFields) {
        if (field.key == key) return &field;
    }
    return nullptr;
}

// Calls `f(member)` with the molecule's optional member that holds `field` (a const reference
// for a const molecule).
template <class M, class F>
decltype(auto) visit_member(M& molecule, const BuiltinField& field, F&& f) {
    return std::visit([&](auto pointer) -> decltype(auto) { return f(molecule.*pointer); },
                      field.member);
}

}  // namespace kestrove::storage::builtin_fields

// The lazy view of one stored structure-of-arrays record: structural checks once, fields on demand.
//
// A view never changes after it is built and touches no Python object, so it may be built and read
// on any thread. Structural failures are engine Errors ("Invalid data: ..."); failures of a field
// reader or of materialisation are bare messages, so that one bad field leaves the others readable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "engine/atom.hpp"
#include "engine/coding.hpp"
#include "engine/storage/builtin_fields.hpp"
#include "engine/storage/database.hpp"

namespace kestrove::view {

// The per-database decoding context of records: the positions block's stride and type tag.
struct SoaContext {
    size_t bytes_per_atom = 12;      // 12 (f32 triples) or 24 (f64 triples)
    uint8_t positions_type_tag = 4;  // 4 or 7

    // From the database's record format and, under format 3, its schema lock's positions type.
    [[nodiscard]] static Result<SoaContext> from_database(const storage::AtomDatabase& database);
    // The same rule on the two values it reads: "Missing positions dtype for record format 3",
    // "Unsupported positions type tag {}", "Unsupported record format {}".
    [[nodiscard]] static Result<SoaContext> from_record_format(
        uint32_t record_format, std::optional<uint8_t> positions_type);

    bool operator==(const SoaContext&) const = default;
};

// The record bytes a view reads: an owned buffer, or a counted share of the database's whole-file
// memory map, which keeps the map readable after the database is dropped or its file replaced.
class SoaBytes {
public:
    explicit SoaBytes(Bytes owned);
    explicit SoaBytes(storage::SharedMmapBytes shared);

    SoaBytes(SoaBytes&&) noexcept = default;
    SoaBytes& operator=(SoaBytes&&) noexcept = default;
    SoaBytes(const SoaBytes&) = delete;
    SoaBytes& operator=(const SoaBytes&) = delete;

    std::span<const uint8_t> bytes() const { return bytes_; }
    bool is_shared() const { return storage_.index() == 1; }
    // Keeps only the first `n` bytes (all of them when there are fewer). An owned buffer that
    // holds, or has room for, more than that is copied to one of exactly those bytes, so that
    // bytes nothing uses are not held: a decompression buffer is sized from the length that the
    // record's index entry declares, which a damaged or forged entry overstates.
    void keep_prefix(size_t n);

private:
    std::variant<Bytes, storage::SharedMmapBytes> storage_;
    // Stays valid across moves: a moved vector keeps its buffer, a moved share its map.
    std::span<const uint8_t> bytes_;
};

// The eight built-in fields a record may carry as kind-0 sections.
enum class BuiltinField : uint8_t {
    kForces = 0,
    kEnergy,
    kCell,
    kStress,
    kCharges,
    kVelocities,
    kPbc,
    kName,
};
inline constexpr size_t kBuiltinFieldCount = storage::builtin_fields::kBuiltinFieldCount;
static_assert(static_cast<size_t>(BuiltinField::kName) + 1 == kBuiltinFieldCount);
// The key of a built-in field as stored: "forces", "energy", ...
std::string_view builtin_key(BuiltinField field);

// Where one built-in section lies inside the record.
struct BuiltinSlot {
    uint64_t payload_offset = 0;
    uint64_t payload_len = 0;
    uint8_t type_tag = 0;

    bool operator==(const BuiltinSlot&) const = default;
};

// One section that is not a built-in slot (custom sections, unknown kind-0 keys, unknown kinds).
struct LazySection {
    uint64_t key_offset = 0;
    uint64_t payload_offset = 0;
    uint64_t payload_len = 0;
    uint8_t kind = 0;
    uint8_t key_len = 0;
    uint8_t type_tag = 0;
};

// Element type of an array a field reader hands out.
enum class ElemType : uint8_t { kF32, kF64, kI32, kI64 };
size_t elem_size(ElemType type);

// An array field as borrowed record bytes, ready to be copied once into a new array of `shape`
// (`ndim` 1: (shape[0],), `ndim` 2: (shape[0], shape[1])). The bytes are little-endian and carry no
// alignment guarantee; bytes.size() == shape[0] × shape[1 if ndim 2] × elem_size(elem). They stay
// valid while the view lives.
struct ArrayField {
    std::span<const uint8_t> bytes;
    ElemType elem = ElemType::kF64;
    size_t ndim = 1;
    std::array<size_t, 2> shape{0, 0};
};

// The value of one custom section read in place: none (tag 13), a float (0), an integer (1), a
// text borrowed from the record (2), or an array (3 to 8).
using PropertyField = std::variant<std::monostate, double, int64_t, std::string_view, ArrayField>;

class SoaMoleculeView {
public:
    SoaMoleculeView(SoaMoleculeView&&) noexcept = default;
    SoaMoleculeView& operator=(SoaMoleculeView&&) noexcept = default;
    SoaMoleculeView(const SoaMoleculeView&) = delete;
    SoaMoleculeView& operator=(const SoaMoleculeView&) = delete;

    // Checks that every declared part of the record lies inside its bytes and notes where each
    // lies. Keys, kinds, tags and payload lengths are not checked here. Consumes the storage: on
    // failure the buffer or map share is released. Bytes past the last section are dropped.
    [[nodiscard]] static Result<SoaMoleculeView> from_storage(SoaBytes storage,
                                                              size_t bytes_per_atom,
                                                              uint8_t positions_type_tag);
    [[nodiscard]] static Result<SoaMoleculeView> from_bytes(Bytes buffer, size_t bytes_per_atom,
                                                            uint8_t positions_type_tag);
    [[nodiscard]] static Result<SoaMoleculeView> from_bytes(Bytes buffer, const SoaContext& ctx) {
        return from_bytes(std::move(buffer), ctx.bytes_per_atom, ctx.positions_type_tag);
    }
    [[nodiscard]] static Result<SoaMoleculeView> from_shared(storage::SharedMmapBytes shared,
                                                             const SoaContext& ctx);

    // --- Structure (never fails) ---
    std::span<const uint8_t> bytes() const { return storage_.bytes(); }
    bool is_shared() const { return storage_.is_shared(); }
    size_t n_atoms() const { return n_atoms_; }
    uint8_t positions_type_tag() const { return positions_type_tag_; }
    size_t positions_offset() const { return kPositionsOffset; }
    size_t positions_len() const { return positions_len_; }
    size_t atomic_numbers_offset() const { return kPositionsOffset + positions_len_; }
    std::span<const uint8_t> positions_bytes() const {
        return bytes().subspan(kPositionsOffset, positions_len_);
    }
    std::span<const uint8_t> atomic_numbers() const {
        return bytes().subspan(atomic_numbers_offset(), n_atoms_);
    }
    const std::optional<BuiltinSlot>& slot(BuiltinField field) const {
        return slots_[static_cast<size_t>(field)];
    }
    bool has(BuiltinField field) const { return slot(field).has_value(); }
    // Every section that is not a built-in slot, in record order.
    const std::vector<LazySection>& sections() const { return sections_; }
    // The bytes of a range the parse checked (a slot's or a section's payload).
    std::span<const uint8_t> builtin_payload(uint64_t payload_offset, uint64_t payload_len) const;
    std::span<const uint8_t> payload(const BuiltinSlot& slot) const {
        return builtin_payload(slot.payload_offset, slot.payload_len);
    }
    std::span<const uint8_t> payload(const LazySection& section) const {
        return builtin_payload(section.payload_offset, section.payload_len);
    }

    // --- Scalar accessors (bare messages) ---
    // The section's key, checked as UTF-8 now: "Invalid UTF-8 in section key".
    [[nodiscard]] Result<std::string_view, std::string> lazy_section_key(
        const LazySection& section) const;
    // "Invalid pbc payload length" unless the payload is 3 bytes; the tag is not consulted.
    [[nodiscard]] Result<std::optional<std::array<bool, 3>>, std::string> pbc() const;
    // Tag 0 (8 bytes) or 11 (4 bytes, widened): "Unsupported energy type tag {}",
    // "Invalid f64 payload length", "Invalid f32 payload length".
    [[nodiscard]] Result<std::optional<double>, std::string> energy() const;
    // Atom `index` with its position narrowed to single precision; nothing past the last atom.
    [[nodiscard]] Result<std::optional<atom::Atom>, std::string> atom_at(size_t index) const;
    // Whether both records have the same layout, so they can be appended under one schema.
    [[nodiscard]] Result<bool, std::string> same_schema_as(const SoaMoleculeView& other) const;

    // --- Lookups by key (keys read with lazy_section_key, in record order) ---
    // The first listed section of `kind` whose key equals `key`, or nullptr. A key that is not
    // UTF-8 met before the match fails the lookup.
    [[nodiscard]] Result<const LazySection*, std::string> find_section(uint8_t kind,
                                                                       std::string_view key) const;
    // The keys of the listed sections of `kind`, in record order (repeats included).
    [[nodiscard]] Result<std::vector<std::string_view>, std::string> section_keys(
        uint8_t kind) const;

    // --- Array field readers (bare messages), for getters that copy a field once ---
    // (n_atoms, 3) by the positions tag; "Invalid positions section" for a tag other than 4 or 7.
    [[nodiscard]] Result<ArrayField, std::string> positions_field() const;
    // forces, velocities: tag 4 with 12 × n_atoms bytes or tag 7 with 24 × n_atoms bytes, else
    // "Invalid {label} section".
    [[nodiscard]] Result<ArrayField, std::string> vec3_slot_field(const BuiltinSlot& slot,
                                                                  std::string_view label) const;
    // charges: tag 3 with 8 × n_atoms bytes or tag 6 with 4 × n_atoms bytes.
    [[nodiscard]] Result<ArrayField, std::string> float_array_slot_field(
        const BuiltinSlot& slot, std::string_view label) const;
    // cell, stress: (3, 3) from tag 10 with 72 bytes or tag 12 with 36 bytes.
    [[nodiscard]] Result<ArrayField, std::string> mat3_slot_field(const BuiltinSlot& slot,
                                                                  std::string_view label) const;
    // A custom section's value by its type tag; the kind is not consulted.
    [[nodiscard]] Result<PropertyField, std::string> property_section_field(
        const LazySection& section) const;

    // --- Whole-record decoders (bare messages) ---
    // Decodes every field into a new owned molecule, keeping each field's stored precision.
    [[nodiscard]] Result<atom::Molecule, std::string> materialize() const;
    // The record's schema for appending it as raw bytes: built-in slots in the order energy,
    // forces, charges, velocities, cell, stress, pbc, name, then the listed sections.
    [[nodiscard]] Result<storage::DatabaseSchema, std::string> database_schema() const;

private:
    static constexpr size_t kPositionsOffset = 4;

    explicit SoaMoleculeView(SoaBytes storage) : storage_(std::move(storage)) {}

    // The steps of materialize(): a molecule of the positions and atomic numbers alone, then
    // each built-in slot in record order, then the custom sections; each step's failure is the
    // text of the first part that cannot be decoded.
    Result<atom::Molecule, std::string> materialize_atoms() const;
    std::optional<std::string> materialize_builtins(atom::Molecule& molecule) const;
    std::optional<std::string> materialize_properties(atom::Molecule& molecule) const;

    SoaBytes storage_;
    std::array<std::optional<BuiltinSlot>, kBuiltinFieldCount> slots_{};
    std::vector<LazySection> sections_;
    size_t n_atoms_ = 0;
    size_t positions_len_ = 0;
    uint8_t positions_type_tag_ = 4;
};

// Views of owned record buffers, all with one context; the first failure is the call's error and
// the remaining buffers are dropped.
[[nodiscard]] Result<std::vector<SoaMoleculeView>> views_from_buffers(std::vector<Bytes> buffers,
                                                                      const SoaContext& ctx);

// Decoders of built-in payloads; `label` names the field in "Unsupported {} type tag {}".
// Tag 4 / 7 triples ("Invalid vec3<f32> payload length", "Invalid vec3<f64> payload length").
[[nodiscard]] Result<types::Vec3Data, std::string> py_decode_vec3_data(
    std::span<const uint8_t> payload, uint8_t type_tag, std::string_view label);
// Tag 10 / 12 matrices of exactly 72 / 36 bytes.
[[nodiscard]] Result<types::Mat3Data, std::string> py_decode_mat3_data(
    std::span<const uint8_t> payload, uint8_t type_tag, std::string_view label);
// A custom property's owned value by its type tag.
[[nodiscard]] Result<types::PropertyValue, std::string> decode_property_value(
    uint8_t type_tag, std::span<const uint8_t> payload);

}  // namespace kestrove::view

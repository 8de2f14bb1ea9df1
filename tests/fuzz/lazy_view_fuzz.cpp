// Fuzzes the lazy view of a stored record, which reads records of files it did not write: the
// structural parse, then every accessor a getter may call, under both positions contexts.
//
// Input: the record bytes.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/view/record_view.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using namespace kestrove::view;

namespace {

volatile uint8_t g_sink;

// Reads every byte, so that a span past the record is a finding of the address sanitizer too.
void touch(std::span<const uint8_t> bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    g_sink = sum;
}

bool inside(const SoaMoleculeView& view, std::span<const uint8_t> part) {
    return fuzz::inside(view.bytes(), part);
}

// A field reader's array must be exactly its shape's bytes, inside the record.
void check_array(const SoaMoleculeView& view, const ArrayField& field) {
    FUZZ_CHECK(field.ndim == 1 || field.ndim == 2);
    const size_t count = field.ndim == 1 ? field.shape[0] : field.shape[0] * field.shape[1];
    FUZZ_CHECK(field.bytes.size() == count * elem_size(field.elem));
    FUZZ_CHECK(inside(view, field.bytes));
    touch(field.bytes);
}

template <class R>
void check_array_result(const SoaMoleculeView& view, const R& result) {
    if (result.ok()) check_array(view, result.value());
}

void exercise(std::span<const uint8_t> record, size_t bytes_per_atom, uint8_t tag) {
    auto built = SoaMoleculeView::from_storage(SoaBytes(Bytes(record.begin(), record.end())),
                                               bytes_per_atom, tag);
    if (!built.ok()) return;
    const SoaMoleculeView& view = built.value();
    // The view keeps the record up to the end of its last section, byte for byte.
    FUZZ_CHECK(view.bytes().size() <= record.size());
    FUZZ_CHECK(std::equal(view.bytes().begin(), view.bytes().end(), record.begin()));
    FUZZ_CHECK(view.positions_bytes().size() == view.n_atoms() * bytes_per_atom);
    FUZZ_CHECK(view.atomic_numbers().size() == view.n_atoms());
    FUZZ_CHECK(inside(view, view.positions_bytes()) && inside(view, view.atomic_numbers()));
    touch(view.positions_bytes());
    touch(view.atomic_numbers());

    check_array_result(view, view.positions_field());
    for (size_t f = 0; f < kBuiltinFieldCount; ++f) {
        const auto field = static_cast<BuiltinField>(f);
        const auto& slot = view.slot(field);
        if (!slot) continue;
        FUZZ_CHECK(inside(view, view.payload(*slot)));
        touch(view.payload(*slot));
        const std::string_view label = builtin_key(field);
        switch (field) {
            case BuiltinField::kForces:
            case BuiltinField::kVelocities:
                check_array_result(view, view.vec3_slot_field(*slot, label));
                (void)py_decode_vec3_data(view.payload(*slot), slot->type_tag, label);
                break;
            case BuiltinField::kCharges:
                check_array_result(view, view.float_array_slot_field(*slot, label));
                break;
            case BuiltinField::kCell:
            case BuiltinField::kStress:
                check_array_result(view, view.mat3_slot_field(*slot, label));
                (void)py_decode_mat3_data(view.payload(*slot), slot->type_tag, label);
                break;
            default:
                break;
        }
    }
    (void)view.energy();
    (void)view.pbc();
    for (size_t i = 0; i < view.n_atoms(); ++i) {
        auto atom = view.atom_at(i);
        FUZZ_CHECK(!atom.ok() || atom.value().has_value());
    }
    auto past_end = view.atom_at(view.n_atoms());
    FUZZ_CHECK(!past_end.ok() || !past_end.value().has_value());

    bool keys_ok = true;
    for (const LazySection& section : view.sections()) {
        FUZZ_CHECK(inside(view, view.payload(section)));
        auto key = view.lazy_section_key(section);
        if (!key.ok()) {
            keys_ok = false;
            continue;
        }
        auto keys = view.section_keys(section.kind);
        auto found = view.find_section(section.kind, key.value());
        if (keys.ok() && found.ok()) {
            // The first section of its kind under that key: never another key, never missing.
            FUZZ_CHECK(found.value() != nullptr);
            FUZZ_CHECK(found.value()->kind == section.kind);
            auto found_key = view.lazy_section_key(*found.value());
            FUZZ_CHECK(found_key.ok() && found_key.value() == key.value());
        }
        auto value = view.property_section_field(section);
        if (value.ok()) {
            if (const auto* array = std::get_if<ArrayField>(&value.value())) {
                check_array(view, *array);
            } else if (const auto* text = std::get_if<std::string_view>(&value.value())) {
                touch({reinterpret_cast<const uint8_t*>(text->data()), text->size()});
            }
        }
        (void)decode_property_value(section.type_tag, view.payload(section));
    }
    auto same = view.same_schema_as(view);
    FUZZ_CHECK(same.ok() == keys_ok);
    FUZZ_CHECK(!same.ok() || same.value());
    (void)view.database_schema();

    auto molecule = view.materialize();
    if (molecule.ok()) {
        FUZZ_CHECK(molecule.value().num_positions() == view.n_atoms());
        FUZZ_CHECK(molecule.value().atomic_numbers.size() == view.n_atoms());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> record(data, size);
    exercise(record, 12, 4);
    exercise(record, 24, 7);
    return 0;
}

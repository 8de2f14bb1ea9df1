// Fuzzes the eager record parser of flat batch extraction and the two column derivations run on
// each section of a record read from a file.
//
// Input: the record bytes.
#include <cstdint>
#include <span>

#include "engine/utf8.hpp"
#include "engine/view/record_parser.hpp"
#include "engine/view/record_view.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using namespace kestrove::view;

using kestrove::fuzz::inside;

namespace {

// One parse result reused across inputs, as a worker reuses it across records.
ParsedSoaRecord g_reused;

void exercise(std::span<const uint8_t> record, size_t bytes_per_atom, uint8_t tag) {
    auto parsed = parse_mol_fast_soa(record, bytes_per_atom);
    const Status into = parse_mol_fast_soa_into(record, bytes_per_atom, g_reused);
    FUZZ_CHECK(parsed.ok() == into.ok());
    if (!into.ok()) FUZZ_CHECK(g_reused.sections.empty());
    // Whatever the parser accepts, the lazy view accepts too.
    auto view =
        SoaMoleculeView::from_bytes(Bytes(record.begin(), record.end()), bytes_per_atom, tag);
    if (!parsed.ok()) return;
    FUZZ_CHECK(view.ok() && view.value().n_atoms() == parsed.value().n_atoms);

    const ParsedSoaRecord& p = parsed.value();
    FUZZ_CHECK(g_reused.n_atoms == p.n_atoms && g_reused.sections.size() == p.sections.size());
    FUZZ_CHECK(p.positions.size() == p.n_atoms * bytes_per_atom);
    FUZZ_CHECK(p.atomic_numbers.size() == p.n_atoms);
    FUZZ_CHECK(inside(record, p.positions) && inside(record, p.atomic_numbers));
    for (size_t i = 0; i < p.sections.size(); ++i) {
        const SoaSectionRef& section = p.sections[i];
        const SoaSectionRef& again = g_reused.sections[i];
        FUZZ_CHECK(section.key == again.key && section.kind == again.kind &&
                   section.type_tag == again.type_tag &&
                   section.payload.data() == again.payload.data() &&
                   section.payload.size() == again.payload.size());
        FUZZ_CHECK(inside(record, section.payload));
        FUZZ_CHECK(inside(
            record, {reinterpret_cast<const uint8_t*>(section.key.data()), section.key.size()}));
        FUZZ_CHECK(is_valid_utf8(section.key));
        auto schema = section_schema_from_ref(section, p.n_atoms);
        if (schema.ok()) {
            FUZZ_CHECK(schema.value().key == section.key);
            FUZZ_CHECK(schema.value().kind == section.kind);
            FUZZ_CHECK(schema.value().type_tag == section.type_tag);
        }
        auto entry = database_schema_section(section.kind, section.key, section.type_tag,
                                             section.payload.size(), p.n_atoms);
        if (entry.ok()) {
            FUZZ_CHECK(entry.value().key == section.key && entry.value().kind == section.kind);
            FUZZ_CHECK(entry.value().type_tag == section.type_tag);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> record(data, size);
    exercise(record, 12, 4);
    exercise(record, 24, 7);
    return 0;
}

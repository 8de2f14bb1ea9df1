// Fuzzes the index blob: its decoder, and entries read in place from a mapped file.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/storage/index.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using storage::index::IndexStorage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> blob(data, size);
    auto decoded = storage::index::decode_index(blob);
    if (decoded.ok()) {
        // A blob that decodes is exactly its entries, and encodes back to itself.
        const Bytes again = storage::index::encode_index(decoded.value());
        FUZZ_CHECK(again.size() == size && std::equal(again.begin(), again.end(), data));
    }

    // The same bytes as a memory map holding an index at `offset` with `count` entries, as a
    // mapped open reads it: the count is the blob's own, as a header slot would state it, and
    // entries that the map does not hold whole are refused, also near the top of the range.
    fuzz::InputReader reader(data, size);
    const uint64_t stated = reader.take<uint64_t>();
    for (uint64_t offset : {uint64_t{0}, uint64_t{1}, UINT64_MAX - 7}) {
        const IndexStorage mapped = IndexStorage::mapped(nullptr, blob, offset, stated);
        FUZZ_CHECK(mapped.is_mapped() && mapped.size() == stated);
        for (uint64_t i = 0; i < std::min<uint64_t>(stated, 300); ++i) {
            const auto entry = mapped.get(i);
            const uint64_t end =
                offset + storage::index::kCountBytes + storage::index::kEntryBytes * (i + 1);
            const bool inside = offset == 0 || offset == 1 ? end <= size : false;
            FUZZ_CHECK(entry.has_value() == inside);
            if (offset == 0 && decoded.ok()) FUZZ_CHECK(*entry == decoded.value()[i]);
        }
        for (uint64_t i : {stated, stated - 1, stated / 2, UINT64_MAX}) {
            const auto entry = mapped.get(i);
            if (i >= stated) FUZZ_CHECK(!entry.has_value());
        }
    }
    return 0;
}

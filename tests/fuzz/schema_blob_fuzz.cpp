// Fuzzes the schema-lock blob decoder, and what an open does next with a lock it decoded.
#include <cstdint>
#include <span>

#include "engine/storage/schema.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using namespace kestrove::storage::schema;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto decoded = decode_schema_lock(std::span<const uint8_t>(data, size));
    if (!decoded.ok()) return 0;
    const SchemaLock& lock = decoded.value();

    // Whatever decodes can be written again (keys fit 16 bits, sizes 32) and reads back the
    // same; entries that shared a key collapse, so the blob is never longer.
    auto encoded = encode_schema_lock(lock);
    FUZZ_CHECK(encoded.ok());
    FUZZ_CHECK(encoded.value().size() <= size);
    auto again = decode_schema_lock(encoded.value());
    FUZZ_CHECK(again.ok() && again.value() == lock);

    // An append merges the stored lock with its own: a lock always agrees with itself.
    SchemaLock merged = lock;
    FUZZ_CHECK(merge_schema_lock(merged, lock).ok());
    FUZZ_CHECK(merged == lock);
    SchemaLock from_empty;
    FUZZ_CHECK(merge_schema_lock(from_empty, lock).ok() && from_empty == lock);
    for (uint32_t format : {2u, 3u}) (void)validate_schema_lock_for_record_format(format, lock);
    for (const auto& [key, entry] : lock.sections) {
        FUZZ_CHECK(lock.sections.find(key.kind, key.key) != nullptr);
        (void)debug_string(entry);
    }
    return 0;
}

// Fuzzes the schema derivation of a structure-of-arrays record, which appends of ready records
// and schema rebuilds run on bytes they did not write.
//
// Input: u8 record format (even: 2, odd: 3) | u8 positions type (0: none, else the byte itself)
// | the record.
#include <cstdint>
#include <optional>

#include "engine/storage/schema.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using namespace kestrove::storage::schema;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader reader(data, size);
    const uint32_t format = reader.take<uint8_t>() % 2 == 0 ? 2 : 3;
    const uint8_t type_byte = reader.take<uint8_t>();
    const std::optional<uint8_t> positions_type =
        type_byte == 0 ? std::nullopt : std::optional(type_byte);

    auto lock = record_schema(reader.rest(), format, positions_type);
    if (!lock.ok()) return 0;
    FUZZ_CHECK(lock.value().positions_type.has_value());
    // The lock of a record is stored with the commit: it must be writable and read back as is,
    // and agree with itself when the next record of the same shape arrives.
    auto blob = encode_schema_lock(lock.value());
    FUZZ_CHECK(blob.ok());
    auto decoded = decode_schema_lock(blob.value());
    FUZZ_CHECK(decoded.ok() && decoded.value() == lock.value());
    SchemaLock merged = lock.value();
    FUZZ_CHECK(merge_schema_lock(merged, lock.value()).ok() && merged == lock.value());
    (void)validate_schema_lock_for_record_format(format, lock.value());
    return 0;
}

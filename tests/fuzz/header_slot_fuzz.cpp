// Fuzzes the header-slot decoder against files of any length.
//
// Input: u64 file length | u8 flags | the slot's bytes (zero-padded or cut to 4,096). Flag bit 0
// stores the right checksum into the slot, so that mutated fields get past it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/storage/header.hpp"
#include "engine/storage/index.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using namespace kestrove::storage::header;

namespace {

bool range_within(uint64_t offset, uint64_t len, uint64_t lo, uint64_t hi) {
    return offset >= lo && len <= hi && offset <= hi - len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader reader(data, size);
    const uint64_t file_len = reader.take<uint64_t>();
    const uint8_t flags = reader.take<uint8_t>();
    HeaderSlot slot{};
    const auto body = reader.rest();
    std::memcpy(slot.data(), body.data(), std::min(body.size(), slot.size()));
    if (flags & 1) {
        coding::store<uint32_t>(slot.data() + kChecksumOffset,
                                adler32({slot.data(), kChecksumOffset}));
    }

    const auto h = decode_header_slot(slot, file_len);
    if (!h) return 0;
    // Everything an open goes on to use lies inside the file.
    FUZZ_CHECK(h->compression.kind <= compression::CompressionType::Zstd);
    FUZZ_CHECK(h->data_start >= kDataStart && h->data_start <= file_len);
    if (h->schema_offset != 0 || h->schema_len != 0) {
        FUZZ_CHECK(h->schema_len != 0 &&
                   range_within(h->schema_offset, h->schema_len, h->data_start, file_len));
    }
    if (h->index_offset != 0 || h->index_len != 0 || h->count != 0) {
        FUZZ_CHECK(h->index_offset != 0 && h->index_len != 0);
        FUZZ_CHECK(range_within(h->index_offset, h->index_len, h->data_start, file_len));
        FUZZ_CHECK((h->index_len - storage::index::kCountBytes) / storage::index::kEntryBytes ==
                       h->count &&
                   (h->index_len - storage::index::kCountBytes) % storage::index::kEntryBytes == 0);
    }
    // A decoded header is written back as a slot that decodes to the same header.
    const HeaderSlot rewritten = encode_header_slot(*h);
    const auto again = decode_header_slot(rewritten, file_len);
    FUZZ_CHECK(again.has_value() && *again == *h);
    return 0;
}

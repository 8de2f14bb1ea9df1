// The two header slots at the start of a database file: their layout, validation and choice.
#include "engine/storage/header.hpp"

#include <algorithm>
#include <cstring>

#include "engine/coding.hpp"
#include "engine/storage/index.hpp"

namespace kestrove::storage::header {

namespace {

// Field offsets within a slot.
constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 4;
constexpr size_t kGenerationAt = 8;
constexpr size_t kDataStartAt = 16;
constexpr size_t kIndexOffsetAt = 24;
constexpr size_t kIndexLenAt = 32;
constexpr size_t kCountAt = 40;
constexpr size_t kCompressionKindAt = 48;
constexpr size_t kCompressionLevelAt = 52;
constexpr size_t kRecordFormatAt = 56;
constexpr size_t kSchemaOffsetAt = 60;
constexpr size_t kSchemaLenAt = 68;
static_assert(kSchemaLenAt + 8 <= kChecksumOffset);

constexpr uint32_t kAdlerModulus = 65521;
// The longest run of bytes whose sums cannot overflow 32 bits before the modulo is taken:
// 255 × n × (n + 1) / 2 + (n + 1) × (65521 − 1) < 2^32.
constexpr size_t kAdlerMaxRun = 5552;

constexpr uint8_t kMaxCompressionKind = compression::CompressionType::Zstd;

// How often both slots are read before a file where neither passes is called corrupted. A read
// racing a commit's slot write can see that slot torn; a commit writes one slot, so both are
// torn only when two commits meet the two reads.
constexpr int kSlotReadAttempts = 3;

// A blob range [offset, offset + len) that lies within [data_start, file_len].
bool range_within(uint64_t offset, uint64_t len, uint64_t data_start, uint64_t file_len) {
    uint64_t end;
    if (__builtin_add_overflow(offset, len, &end)) return false;
    return offset >= data_start && end <= file_len;
}

}  // namespace

uint32_t adler32(std::span<const uint8_t> data) {
    uint32_t a = 1;
    uint32_t b = 0;
    const uint8_t* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        const size_t run = std::min(left, kAdlerMaxRun);
        left -= run;
        for (const uint8_t* end = p + run; p != end; ++p) {
            a += *p;
            b += a;
        }
        a %= kAdlerModulus;
        b %= kAdlerModulus;
    }
    return (b << 16) | a;
}

HeaderSlot encode_header_slot(const Header& header) {
    HeaderSlot slot{};
    uint8_t* s = slot.data();
    std::memcpy(s + kMagicAt, kHeaderMagic.data(), kHeaderMagic.size());
    coding::store<uint32_t>(s + kVersionAt, kHeaderVersion);
    coding::store<uint64_t>(s + kGenerationAt, header.generation);
    coding::store<uint64_t>(s + kDataStartAt, header.data_start);
    coding::store<uint64_t>(s + kIndexOffsetAt, header.index_offset);
    coding::store<uint64_t>(s + kIndexLenAt, header.index_len);
    coding::store<uint64_t>(s + kCountAt, header.count);
    // Truncating a wider kind to a byte could turn it into "none" and make every record
    // unreadable; the compressor treats every kind above 1 as zstd, so the slot says so too.
    const uint8_t kind =
        static_cast<uint8_t>(std::min<uint32_t>(header.compression.kind, kMaxCompressionKind));
    s[kCompressionKindAt] = kind;
    coding::store<int32_t>(s + kCompressionLevelAt, kind == compression::CompressionType::Zstd
                                                        ? header.compression.level
                                                        : 0);
    coding::store<uint32_t>(s + kRecordFormatAt, header.record_format);
    coding::store<uint64_t>(s + kSchemaOffsetAt, header.schema_offset);
    coding::store<uint64_t>(s + kSchemaLenAt, header.schema_len);
    coding::store<uint32_t>(s + kChecksumOffset,
                            adler32(std::span<const uint8_t>(s, kChecksumOffset)));
    return slot;
}

std::optional<Header> decode_header_slot(std::span<const uint8_t, kHeaderSlotSize> slot,
                                         uint64_t file_len) {
    const uint8_t* s = slot.data();
    if (std::memcmp(s + kMagicAt, kHeaderMagic.data(), kHeaderMagic.size()) != 0) {
        return std::nullopt;
    }
    if (coding::load<uint32_t>(s + kVersionAt) != kHeaderVersion) return std::nullopt;
    if (coding::load<uint32_t>(s + kChecksumOffset) !=
        adler32(std::span<const uint8_t>(s, kChecksumOffset))) {
        return std::nullopt;
    }

    Header h;
    const uint8_t kind = s[kCompressionKindAt];
    if (kind > kMaxCompressionKind) return std::nullopt;
    h.compression.kind = kind;
    h.compression.level = kind == compression::CompressionType::Zstd
                              ? coding::load<int32_t>(s + kCompressionLevelAt)
                              : 0;

    h.data_start = coding::load<uint64_t>(s + kDataStartAt);
    if (h.data_start < kDataStart || h.data_start > file_len) return std::nullopt;

    h.schema_offset = coding::load<uint64_t>(s + kSchemaOffsetAt);
    h.schema_len = coding::load<uint64_t>(s + kSchemaLenAt);
    if (h.schema_offset != 0) {
        if (h.schema_len == 0) return std::nullopt;
        if (!range_within(h.schema_offset, h.schema_len, h.data_start, file_len)) {
            return std::nullopt;
        }
    } else if (h.schema_len != 0) {
        return std::nullopt;
    }

    h.index_offset = coding::load<uint64_t>(s + kIndexOffsetAt);
    h.index_len = coding::load<uint64_t>(s + kIndexLenAt);
    h.count = coding::load<uint64_t>(s + kCountAt);
    if (h.index_offset != 0 && h.index_len != 0) {
        uint64_t entries_len;
        uint64_t expected_len;
        if (__builtin_mul_overflow(h.count, uint64_t{index::kEntryBytes}, &entries_len) ||
            __builtin_add_overflow(entries_len, uint64_t{index::kCountBytes}, &expected_len) ||
            h.index_len != expected_len) {
            return std::nullopt;
        }
        if (!range_within(h.index_offset, h.index_len, h.data_start, file_len)) {
            return std::nullopt;
        }
    } else if (h.index_offset != 0 || h.index_len != 0 || h.count != 0) {
        return std::nullopt;
    }

    h.generation = coding::load<uint64_t>(s + kGenerationAt);
    h.record_format = coding::load<uint32_t>(s + kRecordFormatAt);
    return h;
}

Result<BestHeader> read_best_header_slots(platform::File& file) {
    for (int attempt = 1;; ++attempt) {
        std::array<HeaderSlot, kHeaderSlotCount> slots{};
        for (size_t i = 0; i < kHeaderSlotCount; ++i) {
            auto position = file.seek_to(i * kHeaderSlotSize);
            if (!position.ok()) return std::move(position).error();
            auto read = file.read_exact(slots[i].data(), kHeaderSlotSize);
            if (!read.ok()) return std::move(read).error();
        }
        // Taken after the slots: a commit syncs the blobs it names before it writes its slot, so
        // a slot already read names bytes the file holds by now. A length taken first would be
        // stale against slots that another process commits while they are read.
        auto file_len = file.size();
        if (!file_len.ok()) return std::move(file_len).error();

        const std::optional<Header> first = decode_header_slot(slots[0], file_len.value());
        const std::optional<Header> second = decode_header_slot(slots[1], file_len.value());
        if (first && second) {
            if (second->generation > first->generation) return BestHeader{*second, 1, false};
            return BestHeader{*first, 0, false};
        }
        if (first) return BestHeader{*first, 0, true};
        if (second) return BestHeader{*second, 1, true};
        // Each slot may have been read while a commit rewrote it; a file is only called
        // corrupted when neither slot passes on every attempt.
        if (attempt == kSlotReadAttempts) {
            return Error::invalid_data("Invalid or corrupted header (no valid header slots)");
        }
    }
}

Result<Header> read_best_header(platform::File& file) {
    auto best = read_best_header_slots(file);
    if (!best.ok()) return std::move(best).error();
    return best->header;
}

}  // namespace kestrove::storage::header

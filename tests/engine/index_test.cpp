// Tests of the index: entries, the on-disk blob and the owned and memory-mapped index forms.
#include "engine/storage/index.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/storage/header.hpp"

namespace kestrove::storage::index {
namespace {

using Blob = std::vector<uint8_t>;

Blob to_blob(const Bytes& b) { return {b.begin(), b.end()}; }

std::vector<MoleculeIndex> sample_entries(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<MoleculeIndex> entries;
    for (size_t i = 0; i < n; ++i) {
        entries.push_back({rng(), static_cast<uint32_t>(rng()), static_cast<uint32_t>(rng()),
                           static_cast<uint32_t>(rng())});
    }
    return entries;
}

void put_u64(Blob& blob, size_t at, uint64_t v) { std::memcpy(blob.data() + at, &v, 8); }

TEST(IndexBlobTest, EncodesCountThenFieldsLittleEndian) {
    const std::vector<MoleculeIndex> entries = {
        {0x0102030405060708ull, 0x11121314u, 0x21222324u, 0x31323334u},
        {40, 0xffffffffu, 0, 1},
    };
    const Blob golden = {
        0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // count
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // offset
        0x14, 0x13, 0x12, 0x11,                          // compressed_size
        0x24, 0x23, 0x22, 0x21,                          // uncompressed_size
        0x34, 0x33, 0x32, 0x31,                          // num_atoms
        0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
        0xff, 0xff, 0xff, 0xff,                          //
        0x00, 0x00, 0x00, 0x00,                          //
        0x01, 0x00, 0x00, 0x00,                          //
    };
    EXPECT_EQ(to_blob(encode_index(entries)), golden);
    auto decoded = decode_index(golden);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message();
    EXPECT_EQ(*decoded, entries);
}

TEST(IndexBlobTest, RoundTripKeepsEveryFieldInOrder) {
    EXPECT_EQ(to_blob(encode_index({})), Blob(8, 0));
    for (size_t n : {0, 1, 2, 1000}) {
        const auto entries = sample_entries(n, n);
        const Bytes blob = encode_index(entries);
        ASSERT_EQ(blob.size(), 8 + 20 * n);
        auto decoded = decode_index(blob);
        ASSERT_TRUE(decoded.ok()) << decoded.error().message();
        EXPECT_EQ(*decoded, entries);
    }
}

Blob blob_with_count(uint64_t count, size_t length) {
    Blob blob(length, 0);
    if (length >= 8) put_u64(blob, 0, count);
    return blob;
}

TEST(IndexBlobTest, MalformedBlobsAreRefusedInCheckOrder) {
    const struct {
        const char* what;
        Blob blob;
        std::string message;
    } cases[] = {
        {"empty", {}, "Index too small"},
        {"seven bytes", Blob(7, 0xff), "Index too small"},
        {"count 1, no entry", blob_with_count(1, 8), "Index length mismatch (expected 28, got 8)"},
        {"trailing byte", blob_with_count(2, 49), "Index length mismatch (expected 48, got 49)"},
        {"count 0, one entry", blob_with_count(0, 28),
         "Index length mismatch (expected 8, got 28)"},
        // Overflow is found before the lengths are compared.
        {"count 2^62", blob_with_count(uint64_t{1} << 62, 8), "Index length overflow"},
        {"count 2^62, long blob", blob_with_count(uint64_t{1} << 62, 48), "Index length overflow"},
        {"count 2^64-1", blob_with_count(UINT64_MAX, 8), "Index length overflow"},
        // The largest count whose byte length fits in 64 bits, and the next one.
        {"largest count", blob_with_count(922337203685477580ull, 8),
         "Index length mismatch (expected 18446744073709551608, got 8)"},
        {"one more", blob_with_count(922337203685477581ull, 8), "Index length overflow"},
    };
    for (const auto& c : cases) {
        auto decoded = decode_index(c.blob);
        ASSERT_FALSE(decoded.ok()) << c.what;
        EXPECT_EQ(decoded.error(), Error::invalid_data(c.message)) << c.what;
    }
}

TEST(IndexBlobTest, DamagedBlobsAreRefusedOrDecodedInFull) {
    const auto entries = sample_entries(5, 7);
    const Bytes good = encode_index(entries);
    for (size_t cut = 0; cut < good.size(); ++cut) {
        EXPECT_FALSE(decode_index(std::span<const uint8_t>(good.data(), cut)).ok()) << cut;
    }
    std::mt19937_64 rng(8);
    for (int trial = 0; trial < 2000; ++trial) {
        Blob damaged(good.begin(), good.end());
        const size_t at = rng() % damaged.size();
        damaged[at] ^= static_cast<uint8_t>(1 + rng() % 255);
        auto decoded = decode_index(damaged);
        // A changed count can never match the length; a changed entry is not checked here.
        EXPECT_EQ(decoded.ok(), at >= 8) << at;
        if (decoded.ok()) {
            EXPECT_EQ(decoded->size(), entries.size());
        }
    }
}

TEST(IndexStorageTest, OwnedIndexGrowsByExtend) {
    IndexStorage storage;
    EXPECT_FALSE(storage.is_mapped());
    EXPECT_EQ(storage.size(), 0u);
    EXPECT_FALSE(storage.get(0).has_value());

    const auto first = sample_entries(3, 1);
    const auto second = sample_entries(2, 2);
    ASSERT_TRUE(storage.extend(first).ok());
    ASSERT_TRUE(storage.extend({}).ok());
    ASSERT_TRUE(storage.extend(second).ok());
    ASSERT_EQ(storage.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(storage.get(i), i < 3 ? first[i] : second[i - 3]) << i;
    }
    EXPECT_FALSE(storage.get(5).has_value());
    EXPECT_FALSE(storage.get(UINT64_MAX).has_value());
    EXPECT_EQ(storage.owned_entries().size(), 5u);

    IndexStorage from_list(sample_entries(4, 3), 0);
    EXPECT_EQ(from_list.size(), 4u);
    EXPECT_EQ(from_list.get(3), sample_entries(4, 3)[3]);
}

// A stand-in for a file map: some record bytes, then an index blob at `index_offset`.
struct FakeMap {
    std::shared_ptr<Blob> bytes;
    uint64_t index_offset;
};

FakeMap fake_map(const std::vector<MoleculeIndex>& entries, size_t records_before) {
    auto bytes = std::make_shared<Blob>(records_before, 0xab);
    const Bytes blob = encode_index(entries);
    bytes->insert(bytes->end(), blob.begin(), blob.end());
    return {bytes, records_before};
}

IndexStorage mapped_over(const FakeMap& map, size_t map_length, uint64_t count) {
    return IndexStorage::mapped(map.bytes, std::span<const uint8_t>(map.bytes->data(), map_length),
                                map.index_offset, count);
}

TEST(IndexStorageTest, MappedIndexReadsEntriesInPlace) {
    const auto entries = sample_entries(4, 4);
    const FakeMap map = fake_map(entries, 37);  // an unaligned blob
    IndexStorage storage = mapped_over(map, map.bytes->size(), entries.size());
    EXPECT_TRUE(storage.is_mapped());
    EXPECT_EQ(storage.size(), 4u);
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(storage.get(i), entries[i]) << i;
    EXPECT_FALSE(storage.get(4).has_value());
    EXPECT_TRUE(storage.owned_entries().empty());

    // Nothing is copied: a changed byte in the map shows in the next read.
    (*map.bytes)[37 + 8] ^= 0xff;
    EXPECT_EQ(storage.get(0)->offset, entries[0].offset ^ 0xff);
}

// The bound on a record's size that flat reads take for a per-molecule slot: the largest size any
// entry's record can have, its declared size trusted only as far as its stored bytes can expand
// under the database's compression; in every form of the index, also after moves. Entries the
// map cuts off do not count, nor do entries of a file read back whose stored bytes lie past its
// end or among the header slots.
TEST(IndexStorageTest, LongestRecordSizeTrustsNoEntryBeyondItsStoredBytes) {
    using compression::CompressionType;
    constexpr uint64_t kStart = header::kDataStart;
    // (offset, stored, declared): a plain entry, a forged one, one declaring less than it stores,
    // and one whose declared size fits what LZ4 and zstd, but not the stored bytes as they are,
    // can hold; then two that hold nothing: stored bytes past the end of the file, and among the
    // header slots.
    const std::vector<MoleculeIndex> entries = {
        {kStart, 4, 10, 1},        {kStart + 4, 1, 0xFFFFFFF0, 1},      {kStart + 5, 30, 20, 1},
        {kStart + 35, 2, 1000, 1}, {kStart, 0xFFFFFFFF, 0xFFFFFFFF, 1}, {0, 4000, 0xFFFFFFFF, 1},
    };
    const FakeMap map = fake_map(entries, kStart + 37);  // records, then the index blob
    const uint64_t file_len = map.bytes->size();
    const std::vector<MoleculeIndex> first_two(entries.begin(), entries.begin() + 2);
    const struct {
        CompressionType compression;
        uint64_t first_two, all;
    } cases[] = {
        {{CompressionType::None}, 4, 30},
        {{CompressionType::Lz4}, 255, 510},
        {{CompressionType::Zstd, 19}, 32768, 32768},
        {{7}, 32768, 32768},  // any kind above 1 reads as zstd
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.compression.kind);
        IndexStorage owned;
        EXPECT_EQ(owned.longest_record_size(c.compression), 0u);
        ASSERT_TRUE(owned.extend(first_two).ok());
        EXPECT_EQ(owned.longest_record_size(c.compression), c.first_two);
        ASSERT_TRUE(owned.extend({entries[2], entries[3]}).ok());
        EXPECT_EQ(owned.longest_record_size(c.compression), c.all);
        EXPECT_EQ(IndexStorage(first_two, file_len).longest_record_size(c.compression),
                  c.first_two);
        EXPECT_EQ(IndexStorage(entries, file_len).longest_record_size(c.compression), c.all);

        const IndexStorage mapped = mapped_over(map, file_len, entries.size());
        EXPECT_EQ(mapped.longest_record_size(c.compression), c.all);
        IndexStorage cut = mapped_over(map, file_len - 4 * 20, entries.size());
        const IndexStorage moved = std::move(cut);
        EXPECT_EQ(moved.longest_record_size(c.compression), c.first_two);
    }
}

TEST(IndexStorageTest, MappedIndexTakesItsCountFromTheCaller) {
    const auto entries = sample_entries(4, 5);
    const FakeMap map = fake_map(entries, 0);
    // The blob's own count prefix (4) is not read.
    IndexStorage fewer = mapped_over(map, map.bytes->size(), 2);
    EXPECT_EQ(fewer.size(), 2u);
    EXPECT_EQ(fewer.get(1), entries[1]);
    EXPECT_FALSE(fewer.get(2).has_value());

    IndexStorage more = mapped_over(map, map.bytes->size(), 1000);
    EXPECT_EQ(more.size(), 1000u);
    EXPECT_EQ(more.get(3), entries[3]);
    EXPECT_FALSE(more.get(4).has_value());
    EXPECT_FALSE(more.get(999).has_value());
    EXPECT_FALSE(more.get(UINT64_MAX).has_value());
}

TEST(IndexStorageTest, MappedEntryCutByTheMapEndIsAbsent) {
    const auto entries = sample_entries(4, 6);
    const FakeMap map = fake_map(entries, 11);
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t entry_end = 11 + 8 + 20 * (i + 1);
        for (size_t map_length : {entry_end - 20, entry_end - 19, entry_end - 1, entry_end}) {
            IndexStorage storage = mapped_over(map, map_length, entries.size());
            const bool whole = map_length == entry_end;
            EXPECT_EQ(storage.get(i).has_value(), whole) << "entry " << i << ", map " << map_length;
            for (size_t earlier = 0; earlier < i; ++earlier) {
                EXPECT_EQ(storage.get(earlier), entries[earlier]);
            }
        }
    }
}

TEST(IndexStorageTest, MappedOffsetsNearTheTopOfTheRangeAreAbsent) {
    const FakeMap map = fake_map(sample_entries(1, 7), 0);
    for (uint64_t index_offset : {UINT64_MAX, UINT64_MAX - 8, UINT64_MAX - 27, uint64_t{1} << 63}) {
        IndexStorage storage =
            IndexStorage::mapped(map.bytes, *map.bytes, index_offset, UINT64_MAX);
        EXPECT_FALSE(storage.get(0).has_value()) << index_offset;
        EXPECT_FALSE(storage.get(UINT64_MAX - 1).has_value()) << index_offset;
    }
    IndexStorage storage = IndexStorage::mapped(map.bytes, *map.bytes, 0, UINT64_MAX);
    EXPECT_FALSE(storage.get(uint64_t{1} << 62).has_value());
    EXPECT_FALSE(storage.get(UINT64_MAX / 20 + 1).has_value());
}

TEST(IndexStorageTest, MappedIndexRefusesExtendAndStaysUnchanged) {
    const auto entries = sample_entries(3, 8);
    const FakeMap map = fake_map(entries, 5);
    IndexStorage storage = mapped_over(map, map.bytes->size(), entries.size());
    for (const auto& more : {sample_entries(2, 9), std::vector<MoleculeIndex>{}}) {
        Status status = storage.extend(more);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error(),
                  Error::invalid_data("Cannot add molecules to a database opened with a "
                                      "memory-mapped index (read-only); reopen without mmap to "
                                      "write."));
        EXPECT_TRUE(storage.is_mapped());
        EXPECT_EQ(storage.size(), 3u);
        for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(storage.get(i), entries[i]);
        EXPECT_FALSE(storage.get(3).has_value());
    }
}

TEST(IndexStorageTest, MappedIndexKeepsItsMapAlive) {
    const auto entries = sample_entries(2, 10);
    FakeMap map = fake_map(entries, 3);
    std::weak_ptr<Blob> watch = map.bytes;
    {
        IndexStorage storage = mapped_over(map, map.bytes->size(), 2);
        map.bytes.reset();
        ASSERT_FALSE(watch.expired());
        EXPECT_EQ(storage.get(1), entries[1]);
        IndexStorage moved = std::move(storage);
        EXPECT_EQ(moved.get(0), entries[0]);
    }
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace kestrove::storage::index

// Tests of the header slots: checksum, layout, validity rules and the choice between two slots.
#include "engine/storage/header.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/coding.hpp"
#include "tests/engine/platform_test_util.hpp"

namespace kestrove::storage::header {
namespace {

using platform::testing::ScratchDir;

std::span<const uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Modulo after every byte: slow, and obviously right.
uint32_t plain_adler32(std::span<const uint8_t> data) {
    uint32_t a = 1, b = 0;
    for (uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

TEST(Adler32Test, MatchesKnownValuesAndThePlainSum) {
    EXPECT_EQ(adler32({}), 1u);
    EXPECT_EQ(adler32(bytes_of("Wikipedia")), 0x11E60398u);
    EXPECT_EQ(adler32(std::vector<uint8_t>(kChecksumOffset, 0)), 0x0FFC0001u);
    // All-0xFF input drives both sums hardest; lengths straddle the deferred-modulo run.
    for (size_t len : {5551u, 5552u, 5553u, 11104u, 11105u, 100000u}) {
        const std::vector<uint8_t> data(len, 0xFF);
        EXPECT_EQ(adler32(data), plain_adler32(data)) << len;
    }
}

Header sample_header() {
    Header h;
    h.compression = {compression::CompressionType::Zstd, -7};
    h.generation = 0x0102030405060708;
    h.data_start = kDataStart;
    h.count = 3;
    h.schema_offset = 9000;
    h.schema_len = 40;
    h.index_offset = 9040;
    h.index_len = 3 * 20 + 8;
    h.record_format = 3;
    return h;
}
constexpr uint64_t kSampleFileLen = 9040 + 68;

TEST(HeaderSlotTest, LayoutIsFieldByField) {
    const HeaderSlot slot = encode_header_slot(sample_header());
    // clang-format off
    const std::vector<uint8_t> head = {
        'K', 'S', 'T', 'V',  2, 0, 0, 0,                       // magic, version
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,        // generation
        0x00, 0x20, 0, 0, 0, 0, 0, 0,                          // data_start 8192
        0x50, 0x23, 0, 0, 0, 0, 0, 0,                          // index_offset 9040
        68, 0, 0, 0, 0, 0, 0, 0,                               // index_len
        3, 0, 0, 0, 0, 0, 0, 0,                                // count
        2, 0, 0, 0,  0xF9, 0xFF, 0xFF, 0xFF,                   // kind, reserved, level -7
        3, 0, 0, 0,                                            // record_format
        0x28, 0x23, 0, 0, 0, 0, 0, 0,                          // schema_offset 9000
        40, 0, 0, 0, 0, 0, 0, 0,                               // schema_len
    };
    // clang-format on
    ASSERT_EQ(head.size(), 76u);
    EXPECT_EQ(std::vector<uint8_t>(slot.begin(), slot.begin() + 76), head);
    for (size_t i = 76; i < kChecksumOffset; ++i) ASSERT_EQ(slot[i], 0) << i;
    EXPECT_EQ(coding::load<uint32_t>(slot.data() + kChecksumOffset),
              plain_adler32({slot.data(), kChecksumOffset}));
    EXPECT_EQ(decode_header_slot(slot, kSampleFileLen), sample_header());
}

TEST(HeaderSlotTest, LevelIsKeptForZstdOnly) {
    Header h = sample_header();
    for (uint32_t kind : {0u, 1u}) {
        h.compression = {kind, 5};
        const HeaderSlot slot = encode_header_slot(h);
        EXPECT_EQ(coding::load<int32_t>(slot.data() + 52), 0);
        EXPECT_EQ(decode_header_slot(slot, kSampleFileLen)->compression,
                  (compression::CompressionType{kind, 0}));
    }
    // A kind that the compressor treats as zstd is recorded as zstd, never wrapped to a byte.
    h.compression = {258, 5};
    EXPECT_EQ(decode_header_slot(encode_header_slot(h), kSampleFileLen)->compression,
              (compression::CompressionType{2, 5}));
}

// Overwrites the 64-bit field at `offset` and re-seals the slot.
void set_u64(HeaderSlot& slot, size_t offset, uint64_t value) {
    coding::store<uint64_t>(slot.data() + offset, value);
}
void reseal(HeaderSlot& slot) {
    coding::store<uint32_t>(slot.data() + kChecksumOffset, adler32({slot.data(), kChecksumOffset}));
}

TEST(HeaderSlotTest, ValidityRules) {
    constexpr uint64_t kMax = UINT64_MAX;
    const struct Case {
        const char* name;
        void (*edit)(HeaderSlot&);
        uint64_t file_len;
        bool reseal;
        bool valid;
    } cases[] = {
        {"sample", [](HeaderSlot&) {}, kSampleFileLen, true, true},
        {"bad magic", [](HeaderSlot& s) { s[3] = 'X'; }, kSampleFileLen, true, false},
        {"version 1", [](HeaderSlot& s) { s[4] = 1; }, kSampleFileLen, true, false},
        {"version 3", [](HeaderSlot& s) { s[4] = 3; }, kSampleFileLen, true, false},
        {"checksum", [](HeaderSlot& s) { s[100] = 1; }, kSampleFileLen, false, false},
        {"checksum field", [](HeaderSlot& s) { s[4095] ^= 1; }, kSampleFileLen, false, false},
        {"reserved bytes sealed", [](HeaderSlot& s) { s[49] = s[100] = s[4091] = 9; },
         kSampleFileLen, true, true},
        {"kind 3", [](HeaderSlot& s) { s[48] = 3; }, kSampleFileLen, true, false},
        {"record format 7", [](HeaderSlot& s) { s[56] = 7; }, kSampleFileLen, true, true},
        {"data_start 8191", [](HeaderSlot& s) { set_u64(s, 16, 8191); }, kSampleFileLen, true,
         false},
        {"data_start past file", [](HeaderSlot& s) { set_u64(s, 16, kSampleFileLen + 1); },
         kSampleFileLen, true, false},
        {"data_start above blobs", [](HeaderSlot& s) { set_u64(s, 16, 9001); }, kSampleFileLen,
         true, false},
        {"schema len 0", [](HeaderSlot& s) { set_u64(s, 68, 0); }, kSampleFileLen, true, false},
        {"schema len without offset", [](HeaderSlot& s) { set_u64(s, 60, 0); }, kSampleFileLen,
         true, false},
        {"no schema",
         [](HeaderSlot& s) {
             set_u64(s, 60, 0);
             set_u64(s, 68, 0);
         },
         kSampleFileLen, true, true},
        {"schema before data_start", [](HeaderSlot& s) { set_u64(s, 60, 8191); }, kSampleFileLen,
         true, false},
        {"schema end wraps", [](HeaderSlot& s) { set_u64(s, 68, kMax - 8999); }, kSampleFileLen,
         true, false},
        {"schema ends at file end", [](HeaderSlot& s) { set_u64(s, 68, kSampleFileLen - 9000); },
         kSampleFileLen, true, true},
        {"schema ends past file end",
         [](HeaderSlot& s) { set_u64(s, 68, kSampleFileLen - 9000 + 1); }, kSampleFileLen, true,
         false},
        {"index ends one byte past file", [](HeaderSlot&) {}, kSampleFileLen - 1, true, false},
        {"index offset 0, len 8",
         [](HeaderSlot& s) {
             set_u64(s, 24, 0);
             set_u64(s, 32, 8);
             set_u64(s, 40, 0);
         },
         kSampleFileLen, true, false},
        {"index offset without len", [](HeaderSlot& s) { set_u64(s, 32, 0); }, kSampleFileLen, true,
         false},
        {"count without index",
         [](HeaderSlot& s) {
             set_u64(s, 24, 0);
             set_u64(s, 32, 0);
         },
         kSampleFileLen, true, false},
        {"no index",
         [](HeaderSlot& s) {
             set_u64(s, 24, 0);
             set_u64(s, 32, 0);
             set_u64(s, 40, 0);
         },
         kSampleFileLen, true, true},
        {"empty index",
         [](HeaderSlot& s) {
             set_u64(s, 32, 8);
             set_u64(s, 40, 0);
         },
         kSampleFileLen, true, true},
        {"index len not 20 per entry", [](HeaderSlot& s) { set_u64(s, 32, 69); }, kSampleFileLen,
         true, false},
        {"count x 20 overflows", [](HeaderSlot& s) { set_u64(s, 40, (1ull << 62) + 3); },
         kSampleFileLen, true, false},
        {"index before data_start", [](HeaderSlot& s) { set_u64(s, 24, 100); }, kSampleFileLen,
         true, false},
        {"index end wraps", [](HeaderSlot& s) { set_u64(s, 24, kMax - 10); }, kMax, true, false},
    };
    for (const Case& c : cases) {
        HeaderSlot slot = encode_header_slot(sample_header());
        c.edit(slot);
        if (c.reseal) reseal(slot);
        EXPECT_EQ(decode_header_slot(slot, c.file_len).has_value(), c.valid) << c.name;
    }
}

TEST(HeaderSlotTest, ByteFlipsNeverYieldARangeOutsideTheFile) {
    std::mt19937_64 rng(20240607);
    const HeaderSlot good = encode_header_slot(sample_header());
    for (int round = 0; round < 20000; ++round) {
        HeaderSlot slot = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) slot[rng() % 76] ^= static_cast<uint8_t>(1 + rng() % 255);
        if (rng() % 2) reseal(slot);
        const uint64_t file_len = kDataStart + rng() % 2000;
        const auto h = decode_header_slot(slot, file_len);
        if (!h) continue;
        ASSERT_LE(h->compression.kind, 2u);
        ASSERT_GE(h->data_start, kDataStart);
        ASSERT_LE(h->data_start, file_len);
        if (h->schema_offset != 0) {
            ASSERT_GE(h->schema_offset, h->data_start);
            ASSERT_LE(h->schema_len, file_len - h->schema_offset);
        }
        if (h->index_offset != 0) {
            ASSERT_GE(h->index_offset, h->data_start);
            ASSERT_LE(h->index_len, file_len - h->index_offset);
            ASSERT_EQ(h->index_len, h->count * 20 + 8);
        } else {
            ASSERT_EQ(h->count, 0u);
        }
    }
}

// A database file of `file_len` bytes holding the two given slots.
class HeaderFile {
public:
    HeaderFile(const HeaderSlot& slot0, const HeaderSlot& slot1, uint64_t file_len)
        : path_(dir_.file("db")) {
        std::string bytes(slot0.begin(), slot0.end());
        bytes.append(slot1.begin(), slot1.end());
        bytes.resize(file_len, '\0');
        platform::testing::write_whole_file(path_, bytes);
    }
    Result<Header> read() {
        auto opened = platform::open_existing(path_, platform::Access::kRead);
        EXPECT_TRUE(opened.ok());
        auto header = read_best_header(opened.value().file);
        if (header.ok()) {
            EXPECT_EQ(::lseek(opened.value().file.fd(), 0, SEEK_CUR), 8192);
        }
        return header;
    }
    void append_byte() {
        platform::testing::write_whole_file(
            path_, platform::testing::read_whole_file(path_) + std::string(1, '\0'));
    }

private:
    ScratchDir dir_;
    std::string path_;
};

HeaderSlot slot_with(uint64_t generation, uint32_t record_format) {
    Header h;
    h.generation = generation;
    h.record_format = record_format;
    return encode_header_slot(h);
}

TEST(ReadBestHeaderTest, ChoosesTheValidSlotWithTheHigherGeneration) {
    const struct {
        const char* name;
        uint64_t gen0, gen1;
        size_t torn_slot;  // 2: none
        size_t torn_at;
        uint32_t expected_format;
    } cases[] = {
        {"fresh file, tie", 0, 0, 2, 0, 100},
        {"slot 1 newer", 6, 7, 2, 0, 101},
        {"slot 0 newer", 7, 6, 2, 0, 100},
        {"tie", 5, 5, 2, 0, 100},
        {"slot 1 newer, torn magic", 6, 7, 1, 0, 100},
        {"slot 1 newer, torn generation", 6, 7, 1, 8, 100},
        {"slot 1 newer, torn reserved byte", 6, 7, 1, 4091, 100},
        {"slot 1 newer, torn checksum", 6, 7, 1, 4095, 100},
        {"slot 0 newer, torn", 9, 2, 0, 1234, 101},
        {"saturated generations", UINT64_MAX, UINT64_MAX - 1, 2, 0, 100},
    };
    for (const auto& c : cases) {
        HeaderSlot slots[2] = {slot_with(c.gen0, 100), slot_with(c.gen1, 101)};
        if (c.torn_slot < 2) slots[c.torn_slot][c.torn_at] ^= 0x40;
        HeaderFile file(slots[0], slots[1], kDataStart);
        auto header = file.read();
        ASSERT_TRUE(header.ok()) << c.name;
        EXPECT_EQ(header->record_format, c.expected_format) << c.name;
    }
}

TEST(ReadBestHeaderTest, SlotNamingBytesPastTheEndIsIgnoredUntilTheFileGrows) {
    Header newer;
    newer.generation = 1;
    newer.index_offset = kDataStart;
    newer.index_len = 8;
    HeaderFile file(slot_with(0, 2), encode_header_slot(newer), kDataStart + 7);
    EXPECT_EQ(file.read()->generation, 0u);
    file.append_byte();
    EXPECT_EQ(file.read()->generation, 1u);
}

TEST(ReadBestHeaderTest, Failures) {
    HeaderSlot bad = slot_with(0, 2);
    bad[0] = 'X';
    {
        HeaderFile file(bad, bad, kDataStart);
        auto header = file.read();
        ASSERT_FALSE(header.ok());
        EXPECT_EQ(header.error(),
                  Error::invalid_data("Invalid or corrupted header (no valid header slots)"));
    }
    // Short files fail on the read, before any slot is looked at, even with slot 0 valid.
    for (uint64_t len : {0u, 4095u, 4096u, 8191u}) {
        HeaderFile file(slot_with(0, 2), slot_with(0, 2), len);
        auto header = file.read();
        ASSERT_FALSE(header.ok()) << len;
        EXPECT_EQ(header.error().display(), "IO error: failed to fill whole buffer") << len;
    }
    platform::File closed;
    auto header = read_best_header(closed);
    ASSERT_FALSE(header.ok());
    EXPECT_EQ(header.error().kind(), Error::Kind::Io);
}

}  // namespace
}  // namespace kestrove::storage::header

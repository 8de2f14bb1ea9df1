// Tests of per-record compression: round trips, stored forms, size hints and hostile input.
#include "engine/compression.hpp"

#include <gtest/gtest.h>
#include <lz4.h>
#include <lz4hc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kestrove::compression {
namespace {

using Data = std::vector<uint8_t>;

constexpr CompressionType kNone{CompressionType::None, 0};
constexpr CompressionType kLz4{CompressionType::Lz4, 0};
constexpr CompressionType zstd(int32_t level) { return {CompressionType::Zstd, level}; }

Data random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Data out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Record-like bytes: runs of small floats and repeated keys, so every method finds matches.
Data compressible_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Data out;
    out.reserve(n);
    static const char kKeys[] = "energyforcesvelocitiescharges";
    while (out.size() < n) {
        if (rng() % 4 == 0) {
            const size_t at = rng() % (sizeof kKeys - 8);
            out.insert(out.end(), kKeys + at, kKeys + at + 8);
        } else {
            const float f = static_cast<float>(rng() % 64) * 0.25f;
            const auto* p = reinterpret_cast<const uint8_t*>(&f);
            out.insert(out.end(), p, p + 4);
        }
    }
    out.resize(n);
    return out;
}

Data to_data(const Bytes& b) { return {b.begin(), b.end()}; }

Data compress_ok(const Data& input, CompressionType type) {
    auto out = compress(input, type);
    EXPECT_TRUE(out.ok()) << out.error().display();
    return out.ok() ? to_data(*out) : Data{};
}

// Decompression that must fail; returns the error's display text.
std::string decompress_error(const Data& input, CompressionType type,
                             std::optional<uint64_t> hint) {
    auto out = decompress(input, type, hint);
    if (out.ok()) return "<succeeded with " + std::to_string(out->size()) + " bytes>";
    EXPECT_EQ(out.error().kind(), Error::Kind::Compression);
    return out.error().display();
}

Data lz4_library_block(const Data& input) {
    Data out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(input.size()))));
    static const char kNothing = 0;  // the compressor reads its source even when it is empty
    const char* src = input.empty() ? &kNothing : reinterpret_cast<const char*>(input.data());
    const int n = LZ4_compress_HC(src, reinterpret_cast<char*>(out.data()),
                                  static_cast<int>(input.size()), static_cast<int>(out.size()), 12);
    EXPECT_GT(n, 0);
    out.resize(static_cast<size_t>(n));
    return out;
}

// A frame from a fresh context with only the level set.
Data zstd_library_frame(const Data& input, int level) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    Data out(ZSTD_compressBound(input.size()));
    const size_t n = ZSTD_compress2(cctx, out.data(), out.size(), input.data(), input.size());
    ZSTD_freeCCtx(cctx);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

struct NamedInput {
    const char* name;
    Data bytes;
};

std::vector<NamedInput> round_trip_inputs() {
    return {
        {"empty", {}},
        {"one byte", {0x2a}},
        {"tiny", {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 0, 0, 0, 0, 0}},
        {"zeros", Data(100000, 0)},
        {"record-like 6 MB", compressible_bytes(6 << 20, 1)},
        {"random 3 MB", random_bytes(3 << 20, 2)},
    };
}

TEST(CompressionTest, EveryKindRoundTrips) {
    const CompressionType types[] = {kNone,   kLz4,     zstd(0), zstd(1),
                                     zstd(3), zstd(-5), {3, 3},  {UINT32_MAX, 1}};
    for (const NamedInput& input : round_trip_inputs()) {
        for (CompressionType type : types) {
            SCOPED_TRACE(std::string(input.name) + ", kind " + std::to_string(type.kind) +
                         " level " + std::to_string(type.level));
            const Data stored = compress_ok(input.bytes, type);
            if (type.kind == CompressionType::None) {
                EXPECT_EQ(stored, input.bytes);
            } else if (type.kind > CompressionType::Zstd) {
                EXPECT_EQ(stored, compress_ok(input.bytes, zstd(type.level)));
            }
            auto back = decompress(stored, type, input.bytes.size());
            ASSERT_TRUE(back.ok()) << back.error().display();
            EXPECT_TRUE(to_data(*back) == input.bytes);
        }
    }
}

TEST(CompressionTest, NoneReturnsTheStoredBytesWhateverTheHint) {
    const Data input = random_bytes(4096, 4);
    for (uint64_t hint : {uint64_t{0}, uint64_t{4095}, uint64_t{5000}, UINT64_MAX}) {
        auto back = decompress(input, kNone, hint);
        ASSERT_TRUE(back.ok());
        EXPECT_TRUE(to_data(*back) == input);
    }
}

TEST(CompressionTest, Lz4WritesOneRawHighCompressionBlock) {
    for (const Data& input :
         {Data{}, Data{7}, compressible_bytes(50000, 6), random_bytes(999, 7)}) {
        const Data stored = compress_ok(input, kLz4);
        // Exactly what the library's level-12 block compressor gives: no prefix, no frame.
        EXPECT_EQ(stored, lz4_library_block(input));
        for (int level : {-5, 1, 22}) {
            EXPECT_EQ(compress_ok(input, {CompressionType::Lz4, level}), stored);  // level ignored
        }

        Data plain(input.size());
        const int n = LZ4_decompress_safe(
            reinterpret_cast<const char*>(stored.data()), reinterpret_cast<char*>(plain.data()),
            static_cast<int>(stored.size()), static_cast<int>(plain.size()));
        ASSERT_EQ(n, static_cast<int>(input.size()));
        EXPECT_EQ(plain, input);
    }
    // A block of no bytes is the single token 0, also when the empty input has no address.
    auto empty = compress(std::span<const uint8_t>(), kLz4);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(to_data(*empty), Data{0});
}

TEST(CompressionTest, ZstdWritesOneStandardFrame) {
    const Data input = compressible_bytes(70000, 8);
    for (int level : {0, 1, 3, 12, -1}) {
        const Data stored = compress_ok(input, zstd(level));
        EXPECT_EQ(stored, zstd_library_frame(input, level)) << level;
        EXPECT_EQ(ZSTD_findFrameCompressedSize(stored.data(), stored.size()), stored.size());
        EXPECT_EQ(ZSTD_getFrameContentSize(stored.data(), stored.size()), input.size());
        Data plain(input.size());
        EXPECT_EQ(ZSTD_decompress(plain.data(), plain.size(), stored.data(), stored.size()),
                  input.size());
        EXPECT_EQ(plain, input);
    }
}

// The per-thread contexts must carry nothing from one call to the next.
TEST(CompressionTest, ReusedContextsGiveTheBytesOfFreshOnes) {
    const Data inputs[] = {compressible_bytes(200000, 9), random_bytes(5000, 10), Data{},
                           compressible_bytes(3000, 11)};
    // Out-of-range levels are the library's to clamp.
    const CompressionType sequence[] = {zstd(19), kLz4,    zstd(1),       zstd(-3),  zstd(19),
                                        kLz4,     zstd(0), zstd(22),      zstd(100), zstd(1),
                                        zstd(3),  kLz4,    zstd(-131072), zstd(19)};
    size_t step = 0;
    for (CompressionType type : sequence) {
        for (const Data& input : inputs) {
            const Data reused = compress_ok(input, type);
            Data fresh;
            std::thread([&] { fresh = compress_ok(input, type); }).join();
            EXPECT_EQ(reused, fresh) << "step " << step << " level " << type.level;
            const Data library = type.kind == CompressionType::Lz4
                                     ? lz4_library_block(input)
                                     : zstd_library_frame(input, type.level);
            EXPECT_EQ(reused, library) << "step " << step;
        }
        ++step;
    }
}

TEST(CompressionTest, FailedDecompressionLeavesTheThreadUsable) {
    const Data input = compressible_bytes(100000, 12);
    const Data frame = compress_ok(input, zstd(3));
    const Data block = compress_ok(input, kLz4);
    for (int round = 0; round < 3; ++round) {
        // A frame cut in the middle of a block, then a whole one.
        Data cut(frame.begin(), frame.begin() + static_cast<long>(frame.size() / 2));
        EXPECT_FALSE(decompress(cut, zstd(3), input.size()).ok());
        EXPECT_FALSE(decompress(random_bytes(64, round), zstd(3), input.size()).ok());
        auto back = decompress(frame, zstd(3), input.size());
        ASSERT_TRUE(back.ok()) << back.error().display();
        EXPECT_TRUE(to_data(*back) == input);

        EXPECT_FALSE(decompress(Data(block.begin(), block.begin() + 100), kLz4, input.size()).ok());
        back = decompress(block, kLz4, input.size());
        ASSERT_TRUE(back.ok()) << back.error().display();
        EXPECT_TRUE(to_data(*back) == input);
    }
}

TEST(CompressionTest, ConcurrentThreadsGetCorrectRoundTrips) {
    struct Task {
        Data input;
        CompressionType type;
        Data expected;
    };
    std::vector<Task> tasks;
    const CompressionType types[] = {kLz4, zstd(1), zstd(3), zstd(9), zstd(-1), kNone};
    for (size_t i = 0; i < 24; ++i) {
        Data input =
            i % 3 == 0 ? random_bytes(1000 + 977 * i, i) : compressible_bytes(5000 * i + 1, i);
        const CompressionType type = types[i % std::size(types)];
        Data expected = compress_ok(input, type);
        tasks.push_back({std::move(input), type, std::move(expected)});
    }

    std::atomic<int> wrong_bytes{0}, wrong_round_trips{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (size_t round = 0; round < 10; ++round) {
                for (size_t k = 0; k < tasks.size(); ++k) {
                    const Task& task = tasks[(k + t * 5 + round) % tasks.size()];
                    auto stored = compress(task.input, task.type);
                    if (!stored.ok() || to_data(*stored) != task.expected) {
                        ++wrong_bytes;
                        continue;
                    }
                    auto back = decompress(*stored, task.type, task.input.size());
                    if (!back.ok() || to_data(*back) != task.input) ++wrong_round_trips;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong_bytes.load(), 0);
    EXPECT_EQ(wrong_round_trips.load(), 0);
}

TEST(CompressionTest, Lz4HintLimits) {
    const Data input = compressible_bytes(3000, 13);
    const Data block = compress_ok(input, kLz4);
    const char* kTooBig =
        "Compression error: LZ4 decompression failed: Given size parameter is too big";
    const struct {
        uint64_t hint;
        const char* display;  // nullptr: decodes to the input
    } cases[] = {
        {uint64_t{1} << 31,
         "Compression error: LZ4 decompressed-size hint 2147483648 exceeds i32::MAX"},
        {UINT64_MAX,
         "Compression error: LZ4 decompressed-size hint 18446744073709551615 exceeds i32::MAX"},
        {2147483647, kTooBig},
        {2113929217, kTooBig},
        // The largest hint the library accepts; the block still decodes to its own length.
        {2113929216, nullptr},
        {input.size() + 1, nullptr},
        {input.size(), nullptr},
        {input.size() - 1,
         "Compression error: LZ4 decompression failed: Decompression failed. Input invalid or too "
         "long?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hint);
        if (c.display == nullptr) {
            auto back = decompress(block, kLz4, c.hint);
            ASSERT_TRUE(back.ok()) << back.error().display();
            EXPECT_TRUE(to_data(*back) == input);
        } else {
            EXPECT_EQ(decompress_error(block, kLz4, c.hint), c.display);
        }
    }
    // The hint is refused before the input is looked at.
    EXPECT_EQ(decompress_error({}, kLz4, uint64_t{1} << 31),
              "Compression error: LZ4 decompressed-size hint 2147483648 exceeds i32::MAX");
}

// A block of one literal, one match of 4 + 15 + 255 × 6 + `last_length_byte` bytes at offset
// 1, then five literals: 17 bytes that decode to 1555 + `last_length_byte` bytes.
Data long_match_block(uint8_t last_length_byte) {
    Data block = {0x1f, 'a', 0x01, 0x00, 255, 255, 255, 255, 255, 255, last_length_byte,
                  0x50, 'b', 'c',  'd',  'e', 'f'};
    return block;
}

TEST(CompressionTest, Lz4WithoutHintAllowsAHundredTimesTheInput) {
    const Data fits = long_match_block(145);  // 1700 bytes = 100 × 17
    const Data over = long_match_block(146);  // 1701 bytes
    ASSERT_EQ(fits.size(), 17u);
    for (const Data* block : {&fits, &over}) {
        Data plain(4000);
        const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(block->data()),
                                          reinterpret_cast<char*>(plain.data()),
                                          static_cast<int>(block->size()), 4000);
        ASSERT_EQ(n, block == &fits ? 1700 : 1701) << "the crafted block itself is wrong";
    }
    auto back = decompress(fits, kLz4, std::nullopt);
    ASSERT_TRUE(back.ok()) << back.error().display();
    ASSERT_EQ(back->size(), 1700u);
    EXPECT_EQ((*back)[0], 'a');
    EXPECT_EQ((*back)[1694], 'a');
    EXPECT_EQ((*back)[1695], 'b');

    EXPECT_EQ(decompress_error(over, kLz4, std::nullopt),
              "Compression error: LZ4 decompression failed: Decompression failed. Input invalid "
              "or too long?");
    back = decompress(over, kLz4, 1701);
    ASSERT_TRUE(back.ok()) << back.error().display();
    EXPECT_EQ(back->size(), 1701u);
}

// A frame whose header leaves out the content size, as a streaming writer may produce.
Data zstd_frame_without_size(const Data& input) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
    Data out(ZSTD_compressBound(input.size()));
    const size_t n = ZSTD_compress2(cctx, out.data(), out.size(), input.data(), input.size());
    ZSTD_freeCCtx(cctx);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

// Frames built by hand from RLE blocks: each block is 4 bytes and yields up to 128 KiB, the
// highest ratio the format allows.
Data rle_frame(std::optional<uint64_t> stated_size, size_t blocks) {
    Data frame = {0x28, 0xb5, 0x2f, 0xfd};
    if (stated_size) {
        frame.push_back(0xe0);  // single segment, 8-byte content size
        for (int i = 0; i < 8; ++i) frame.push_back(static_cast<uint8_t>(*stated_size >> (8 * i)));
    } else {
        frame.push_back(0x00);  // no content size; a window descriptor follows
        frame.push_back(0x38);  // 128 KiB window
    }
    for (size_t i = 0; i < blocks; ++i) {
        const uint32_t header = (i + 1 == blocks ? 1u : 0u) | (1u << 1) | ((128u << 10) << 3);
        for (int k = 0; k < 3; ++k) frame.push_back(static_cast<uint8_t>(header >> (8 * k)));
        frame.push_back(static_cast<uint8_t>('x' + i % 2));
    }
    return frame;
}

Data rle_content(size_t blocks) {
    Data out;
    for (size_t i = 0; i < blocks; ++i) {
        out.insert(out.end(), 128 << 10, static_cast<uint8_t>('x' + i % 2));
    }
    return out;
}

// Checks that decoding with enormous hints works within a small address-space budget. Returns
// a description of the first failure, or an empty string.
std::string check_huge_hints() {
    auto fails = [](const Data& input, CompressionType type, uint64_t hint) {
        return !decompress(input, type, hint).ok();
    };
    auto decodes_to = [](const Data& input, CompressionType type, uint64_t hint, const Data& want) {
        auto back = decompress(input, type, hint);
        return back.ok() && to_data(*back) == want;
    };
    const Data garbage = {0xf0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    if (!fails(garbage, kLz4, 2000000000)) return "LZ4 garbage with a 2e9 hint";
    if (!fails(random_bytes(10, 18), kLz4, 2113929216)) return "LZ4 random bytes, largest hint";

    const Data text = compressible_bytes(5000, 19);
    if (!decodes_to(compress_ok(text, kLz4), kLz4, 2113929216, text)) return "LZ4 largest hint";
    if (!decodes_to(compress_ok(text, zstd(3)), zstd(3), 4000000000, text)) return "zstd 4e9 hint";
    if (!decodes_to(zstd_frame_without_size(text), zstd(3), 4000000000, text)) {
        return "zstd frame without size, 4e9 hint";
    }
    if (!decodes_to(rle_frame(8 << 17, 8), zstd(3), uint64_t{1} << 41, rle_content(8))) {
        return "zstd RLE frame, 2^41 hint";
    }
    if (!decodes_to(rle_frame(std::nullopt, 8), zstd(3), UINT64_MAX, rle_content(8))) {
        return "zstd RLE frame without size, 2^64-1 hint";
    }
    // A header that claims a terabyte.
    if (!fails(rle_frame(uint64_t{1} << 40, 8), zstd(3), uint64_t{1} << 41)) {
        return "zstd forged content size";
    }
    if (!fails(random_bytes(64, 20), zstd(3), UINT64_MAX)) return "zstd random bytes";
    return "";
}

TEST(CompressionTest, ZstdDecodesWithinTheHintOrTenTimesTheInput) {
    const Data text = compressible_bytes(300000, 14);
    const Data small = random_bytes(500, 15);  // stores barely smaller than it is
    const Data zeros(100000, 0);               // stores in a few dozen bytes
    const Data rle = rle_content(8);
    const struct {
        const char* what;
        Data frame;
        std::optional<uint64_t> hint;
        const Data* content;  // nullptr: the frame needs more room than it is given
    } cases[] = {
        {"exact hint", compress_ok(text, zstd(3)), 300000, &text},
        {"larger hint", compress_ok(text, zstd(3)), 300001, &text},
        {"largest hint", compress_ok(text, zstd(3)), UINT64_MAX, &text},
        {"hint one short", compress_ok(text, zstd(3)), 299999, nullptr},
        {"zero hint", compress_ok(text, zstd(3)), 0, nullptr},
        {"no size, exact hint", zstd_frame_without_size(text), 300000, &text},
        {"no size, huge hint", zstd_frame_without_size(text), 4000000000, &text},
        {"no size, hint one short", zstd_frame_without_size(text), 299999, nullptr},
        {"no hint, within 10x", compress_ok(small, zstd(3)), std::nullopt, &small},
        {"no hint, no size, within 10x", zstd_frame_without_size(small), std::nullopt, &small},
        {"no hint, beyond 10x", compress_ok(zeros, zstd(3)), std::nullopt, nullptr},
        {"RLE blocks", rle_frame(rle.size(), 8), rle.size(), &rle},
        {"RLE blocks, no size", rle_frame(std::nullopt, 8), rle.size(), &rle},
        {"stated size beyond the hint", rle_frame(uint64_t{1} << 40, 8), uint64_t{1} << 39,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.content != nullptr) {
            auto back = decompress(c.frame, zstd(3), c.hint);
            ASSERT_TRUE(back.ok()) << back.error().display();
            EXPECT_TRUE(to_data(*back) == *c.content);
        } else {
            EXPECT_EQ(decompress_error(c.frame, zstd(3), c.hint),
                      "Compression error: Zstd decompression failed: Destination buffer is too "
                      "small");
        }
    }
}

uint64_t address_space_in_use() {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// A size hint comes from an index entry, which is untrusted: decoding must never allocate more
// than its input can produce. Run in a child whose address space allows 512 MiB more than it
// already uses, so that honouring any of these hints would fail the allocation.
TEST(CompressionTest, HugeHintsAllocateOnlyWhatTheInputCanProduce) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{address_space_in_use() + (512u << 20), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        std::string failure;
        try {
            failure = check_huge_hints();
        } catch (const std::bad_alloc&) {
            failure = "allocation failed";
        }
        if (!failure.empty()) {
            std::fprintf(stderr, "huge hint check failed: %s\n", failure.c_str());
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// max_decompressed_size() bounds the lengths that readers accept from an index entry, so the
// densest stored records each kind can hold must stay within it, and the bound must stay tight
// enough to refuse a forged length.
TEST(CompressionTest, MaxDecompressedSizeBoundsTheDensestRecords) {
    const Data zeros(3 << 20, 0);
    const struct {
        const char* name;
        Data stored;
        CompressionType kind;
    } densest[] = {
        {"none", zeros, kNone},
        {"LZ4 zeros", compress_ok(zeros, kLz4), kLz4},
        {"LZ4 long match", long_match_block(254), kLz4},
        {"zstd zeros", compress_ok(zeros, zstd(19)), zstd(19)},
        {"zstd RLE blocks", rle_frame(std::nullopt, 8), zstd(3)},
    };
    for (const auto& c : densest) {
        SCOPED_TRACE(c.name);
        auto back = decompress(c.stored, c.kind, std::nullopt);
        if (c.kind.kind != CompressionType::None) back = decompress(c.stored, c.kind, 8 << 20);
        ASSERT_TRUE(back.ok()) << back.error().display();
        EXPECT_LE(back->size(), max_decompressed_size(c.kind, c.stored.size(), UINT64_MAX));
    }
    // (kind, stored, declared): the stored length for none, whatever is declared; else the
    // declared length up to the codec's largest expansion.
    EXPECT_EQ(max_decompressed_size(kNone, 300, 5), 300u);
    EXPECT_EQ(max_decompressed_size(kLz4, 300, 1000), 1000u);
    EXPECT_EQ(max_decompressed_size(kLz4, 300, 0xFFFFFFF0), 300u * 255);
    EXPECT_EQ(max_decompressed_size(zstd(3), 300, 0xFFFFFFF0), 300u * 32768);
    EXPECT_EQ(max_decompressed_size(kLz4, UINT64_MAX, UINT64_MAX), UINT64_MAX);  // saturates
}

// Untrusted stored bytes: decoders either fail with their own message or return at most the
// hint, and never read or write out of bounds (run under AddressSanitizer).
void expect_contained(const Data& input, CompressionType type, uint64_t hint) {
    auto out = decompress(input, type, hint);
    if (out.ok()) {
        EXPECT_LE(out->size(), hint);
        return;
    }
    EXPECT_EQ(out.error().kind(), Error::Kind::Compression);
    const std::string prefix = type.kind == CompressionType::Lz4 ? "LZ4 decompression failed: "
                                                                 : "Zstd decompression failed: ";
    EXPECT_EQ(out.error().message().rfind(prefix, 0), 0u) << out.error().message();
}

TEST(CompressionTest, HostileInputNeverCrashesTheDecoders) {
    const CompressionType decoders[] = {kLz4, zstd(3)};
    std::mt19937_64 rng(21);
    for (size_t len = 0; len < 300; ++len) {
        const Data garbage = random_bytes(len, rng());
        for (CompressionType type : decoders) {
            expect_contained(garbage, type, 5000);
            expect_contained(garbage, type, 0);
            auto no_hint = decompress(garbage, type, std::nullopt);
            (void)no_hint;
        }
    }

    const Data input = compressible_bytes(4000, 22);
    for (CompressionType type : decoders) {
        const Data stored = compress_ok(input, type);
        for (size_t cut = 0; cut < stored.size(); ++cut) {
            const Data prefix(stored.begin(), stored.begin() + static_cast<long>(cut));
            expect_contained(prefix, type, input.size());
            if (type.kind != CompressionType::Lz4 && cut > 0) {
                // Every non-empty proper prefix of a zstd frame is incomplete (no bytes at all
                // are zero frames, which decode to nothing).
                EXPECT_FALSE(decompress(prefix, type, input.size()).ok()) << cut;
            }
        }
        for (int trial = 0; trial < 3000; ++trial) {
            Data flipped = stored;
            const int flips = 1 + static_cast<int>(rng() % 3);
            for (int f = 0; f < flips; ++f) {
                flipped[rng() % flipped.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            }
            expect_contained(flipped, type, input.size());
            expect_contained(flipped, type, input.size() / 2);
        }
    }
}

}  // namespace
}  // namespace kestrove::compression

// Per-record compression: none, one raw LZ4 block (high-compression, level 12) or one zstd frame.
#include "engine/compression.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_findDecompressedSize, ZSTD_decompressBound
#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

namespace kestrove::compression {

namespace {

constexpr uint64_t kMaxDefaultCapacity = uint64_t{1} << 30;  // 1 GiB
constexpr uint64_t kLz4DefaultRatio = 100;
constexpr uint64_t kZstdDefaultRatio = 10;

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// One compression state per thread, reused across records: a fresh zstd context per record costs
// more than the compression of a small record itself.
struct ThreadCodecs {
    ZSTD_CCtx* cctx = nullptr;
    ZSTD_DCtx* dctx = nullptr;
    void* lz4_hc_state = nullptr;

    ThreadCodecs() = default;
    ThreadCodecs(const ThreadCodecs&) = delete;
    ThreadCodecs& operator=(const ThreadCodecs&) = delete;
    ~ThreadCodecs() {
        ZSTD_freeCCtx(cctx);
        ZSTD_freeDCtx(dctx);
        std::free(lz4_hc_state);
    }

    ZSTD_CCtx* compressor() {
        if (!cctx && !(cctx = ZSTD_createCCtx())) throw std::bad_alloc();
        return cctx;
    }
    ZSTD_DCtx* decompressor() {
        if (!dctx && !(dctx = ZSTD_createDCtx())) throw std::bad_alloc();
        return dctx;
    }
    void* lz4_state() {
        if (!lz4_hc_state && !(lz4_hc_state = std::malloc(LZ4_sizeofStateHC()))) {
            throw std::bad_alloc();
        }
        return lz4_hc_state;
    }
};

ThreadCodecs& codecs() {
    thread_local ThreadCodecs instance;
    return instance;
}

Bytes copy_of(std::span<const uint8_t> data) { return Bytes(data.begin(), data.end()); }

Error zstd_error(const char* what, size_t code) {
    return Error::compression(std::string(what) + ZSTD_getErrorName(code));
}

Error zstd_error(const char* what, ZSTD_ErrorCode code) {
    return Error::compression(std::string(what) + ZSTD_getErrorString(code));
}

Result<Bytes> compress_lz4(std::span<const uint8_t> data) {
    static constexpr const char* kPrefix = "LZ4 compression failed: ";
    if (data.size() > static_cast<size_t>(INT32_MAX) ||
        LZ4_compressBound(static_cast<int>(data.size())) <= 0) {
        return Error::compression(std::string(kPrefix) + "Compression input too long.");
    }
    const int src_len = static_cast<int>(data.size());
    const int bound = LZ4_compressBound(src_len);
    Bytes out(static_cast<size_t>(bound));
    // The HC compressor dereferences its source pointer even for an empty input, and an empty
    // span may carry a null one.
    static constexpr char kNoInput = 0;
    const char* src = data.empty() ? &kNoInput : reinterpret_cast<const char*>(data.data());
    const int written =
        LZ4_compress_HC_extStateHC(codecs().lz4_state(), src, reinterpret_cast<char*>(out.data()),
                                   src_len, bound, kLz4HcLevel);
    if (written < 1) return Error::compression(std::string(kPrefix) + "Compression failed");
    out.resize(static_cast<size_t>(written));
    return out;
}

Result<Bytes> compress_zstd(std::span<const uint8_t> data, int32_t level) {
    static constexpr const char* kPrefix = "Zstd compression failed: ";
    ZSTD_CCtx* cctx = codecs().compressor();
    size_t rc = ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    if (ZSTD_isError(rc)) return zstd_error(kPrefix, rc);
    Bytes out(ZSTD_compressBound(data.size()));
    const size_t written = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
    if (ZSTD_isError(written)) return zstd_error(kPrefix, written);
    out.resize(written);
    return out;
}

Status decompress_lz4(std::span<const uint8_t> data, std::optional<uint64_t> hint, Bytes& out) {
    static constexpr const char* kPrefix = "LZ4 decompression failed: ";
    uint64_t capacity;
    if (hint) {
        if (*hint > static_cast<uint64_t>(INT32_MAX)) {
            return Error::compression("LZ4 decompressed-size hint " + std::to_string(*hint) +
                                      " exceeds i32::MAX");
        }
        capacity = *hint;
    } else {
        capacity = std::min(saturating_mul(data.size(), kLz4DefaultRatio), kMaxDefaultCapacity);
    }
    if (LZ4_compressBound(static_cast<int>(capacity)) <= 0) {
        return Error::compression(std::string(kPrefix) + "Given size parameter is too big");
    }
    if (data.size() > static_cast<size_t>(INT32_MAX)) {
        return Error::compression(std::string(kPrefix) +
                                  "Decompression failed. Input invalid or too long?");
    }
    // The block cannot produce more than this, whatever the hint says.
    capacity = max_decompressed_size({CompressionType::Lz4}, data.size(), capacity);
    out.clear();  // a buffer that must grow has nothing worth copying
    out.resize(static_cast<size_t>(capacity));
    const int produced = LZ4_decompress_safe(
        reinterpret_cast<const char*>(data.data()), reinterpret_cast<char*>(out.data()),
        static_cast<int>(data.size()), static_cast<int>(capacity));
    if (produced < 0) {
        return Error::compression(std::string(kPrefix) +
                                  "Decompression failed. Input invalid or too long?");
    }
    out.resize(static_cast<size_t>(produced));
    return {};
}

Status decompress_zstd(std::span<const uint8_t> data, std::optional<uint64_t> hint, Bytes& out) {
    static constexpr const char* kPrefix = "Zstd decompression failed: ";
    uint64_t capacity =
        hint ? *hint
             : std::min(saturating_mul(data.size(), kZstdDefaultRatio), kMaxDefaultCapacity);
    ZSTD_DCtx* dctx = codecs().decompressor();
    ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);

    // Size the output from what the frames say they hold rather than from the caller's capacity
    // alone, which may come from an untrusted index entry.
    const unsigned long long stated = ZSTD_findDecompressedSize(data.data(), data.size());
    if (stated == ZSTD_CONTENTSIZE_ERROR) {
        // Malformed input. Give the decoder the room its first frame asks for (within the caps)
        // so that it names the real fault rather than a lack of room.
        const unsigned long long first = ZSTD_getFrameContentSize(data.data(), data.size());
        uint64_t room = 0;
        if (first != ZSTD_CONTENTSIZE_ERROR && first != ZSTD_CONTENTSIZE_UNKNOWN) {
            room = max_decompressed_size({CompressionType::Zstd}, data.size(),
                                         std::min<uint64_t>(first, capacity));
        }
        Bytes scratch(static_cast<size_t>(room));
        const size_t rc =
            ZSTD_decompressDCtx(dctx, scratch.data(), scratch.size(), data.data(), data.size());
        if (ZSTD_isError(rc)) return zstd_error(kPrefix, rc);
        return zstd_error(kPrefix, ZSTD_error_corruption_detected);
    }
    if (stated != ZSTD_CONTENTSIZE_UNKNOWN) {
        if (stated > capacity) return zstd_error(kPrefix, ZSTD_error_dstSize_tooSmall);
        capacity = stated;
    } else {
        const unsigned long long bound = ZSTD_decompressBound(data.data(), data.size());
        if (bound != ZSTD_CONTENTSIZE_ERROR) capacity = std::min<uint64_t>(capacity, bound);
    }
    // A forged frame header can state any size; no frame yields more than this.
    capacity = max_decompressed_size({CompressionType::Zstd}, data.size(), capacity);
    out.clear();  // a buffer that must grow has nothing worth copying
    out.resize(static_cast<size_t>(capacity));
    const size_t produced =
        ZSTD_decompressDCtx(dctx, out.data(), out.size(), data.data(), data.size());
    if (ZSTD_isError(produced)) return zstd_error(kPrefix, produced);
    out.resize(produced);
    return {};
}

}  // namespace

Result<Bytes> compress(std::span<const uint8_t> data, CompressionType compression) {
    switch (compression.kind) {
        case CompressionType::None:
            return copy_of(data);
        case CompressionType::Lz4:
            return compress_lz4(data);
        default:
            return compress_zstd(data, compression.level);
    }
}

Result<Bytes> decompress(std::span<const uint8_t> data, CompressionType compression,
                         std::optional<uint64_t> expected_size) {
    Bytes out;
    KESTROVE_TRY(decompress_into(data, compression, expected_size, out));
    return out;
}

Status decompress_into(std::span<const uint8_t> data, CompressionType compression,
                       std::optional<uint64_t> expected_size, Bytes& out) {
    switch (compression.kind) {
        case CompressionType::None:
            out.assign(data.begin(), data.end());
            return {};
        case CompressionType::Lz4:
            return decompress_lz4(data, expected_size, out);
        default:
            return decompress_zstd(data, expected_size, out);
    }
}

}  // namespace kestrove::compression

// Shared pieces of the fuzz targets and their seed writer: an input cursor, a scratch directory,
// the compact form of a database-file input, and the check that turns a broken promise into a
// finding.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/coding.hpp"
#include "engine/storage/header.hpp"

namespace kestrove::fuzz {

// A broken invariant is a finding: libFuzzer keeps the input of any abort.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Whether `part` lies within `whole` (an empty part lies anywhere).
inline bool inside(std::span<const uint8_t> whole, std::span<const uint8_t> part) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

// Takes little-endian values off the front of an input; past its end every value reads as zero.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    template <class T>
    T take() {
        uint8_t bytes[sizeof(T)] = {};
        const size_t n = size_ < sizeof(T) ? size_ : sizeof(T);
        if (n > 0) std::memcpy(bytes, data_, n);
        data_ += n;
        size_ -= n;
        return coding::load<T>(bytes);
    }
    // Everything not yet taken.
    std::span<const uint8_t> rest() const { return {data_, size_}; }

private:
    const uint8_t* data_;
    size_t size_;
};

// A directory of this process's own for files that a target writes, on tmpfs when there is one
// (commits sync, and a disk would make each input cost milliseconds). Removed at exit.
inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        std::string base = "/tmp";
        if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') base = tmp;
        if (::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
        std::string pattern = base + "/kestrove-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return pattern;
    }();
    static const bool cleanup_registered = [] {
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_dir(), ignored);
        });
        return true;
    }();
    (void)cleanup_registered;
    return dir;
}

inline void write_file(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// --- The database-file input --------------------------------------------------------------
//
// A whole file is two 4,096-byte header slots, mostly zeros, then records and blobs. Mutating it
// as is would spend most inputs on padding and fail every slot's checksum, so an input is:
//   u8 flags | slot 0 head | slot 1 head | the file from byte 8,192 on
// A slot head is the slot's first 80 bytes (every field and a few reserved bytes) followed by
// the checksum the slot stores; the bytes in between are zero. Flag bit s asks that slot s carry
// the right checksum of its bytes instead, so that mutated fields reach the slot's decoder.
// An input too short for both heads is written as the whole file, for files shorter than their
// header slots.
inline constexpr size_t kSlotHeadFields = 80;
inline constexpr size_t kSlotHeadBytes = kSlotHeadFields + 4;
inline constexpr size_t kDatabaseInputPrefix = 1 + 2 * kSlotHeadBytes;

inline std::vector<uint8_t> expand_database_input(std::span<const uint8_t> input) {
    using storage::header::kChecksumOffset;
    using storage::header::kHeaderSlotSize;
    if (input.size() < kDatabaseInputPrefix) return {input.begin(), input.end()};
    const uint8_t flags = input[0];
    const std::span<const uint8_t> rest = input.subspan(kDatabaseInputPrefix);
    std::vector<uint8_t> file(storage::header::kDataStart + rest.size(), 0);
    for (size_t s = 0; s < storage::header::kHeaderSlotCount; ++s) {
        uint8_t* slot = file.data() + s * kHeaderSlotSize;
        const uint8_t* head = input.data() + 1 + s * kSlotHeadBytes;
        std::memcpy(slot, head, kSlotHeadFields);
        std::memcpy(slot + kChecksumOffset, head + kSlotHeadFields, 4);
        if (flags & (1u << s)) {
            coding::store<uint32_t>(slot + kChecksumOffset,
                                    storage::header::adler32({slot, kChecksumOffset}));
        }
    }
    std::memcpy(file.data() + storage::header::kDataStart, rest.data(), rest.size());
    return file;
}

// The input that expands to `file`, or nothing when the file's slots hold non-zero bytes past
// their heads (which the compact form cannot carry) or the file is shorter than its slots.
inline std::optional<std::vector<uint8_t>> compact_database_file(std::span<const uint8_t> file,
                                                                 uint8_t flags) {
    using storage::header::kChecksumOffset;
    using storage::header::kHeaderSlotSize;
    if (file.size() < storage::header::kDataStart) return std::nullopt;
    std::vector<uint8_t> input{flags};
    for (size_t s = 0; s < storage::header::kHeaderSlotCount; ++s) {
        const uint8_t* slot = file.data() + s * kHeaderSlotSize;
        for (size_t i = kSlotHeadFields; i < kChecksumOffset; ++i) {
            if (slot[i] != 0) return std::nullopt;
        }
        input.insert(input.end(), slot, slot + kSlotHeadFields);
        input.insert(input.end(), slot + kChecksumOffset, slot + kHeaderSlotSize);
    }
    input.insert(input.end(), file.begin() + storage::header::kDataStart, file.end());
    return input;
}

}  // namespace kestrove::fuzz

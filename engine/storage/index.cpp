// The index: where each record lies in the file, its on-disk blob, and an open database's copy.
#include "engine/storage/index.hpp"

#include <algorithm>
#include <string>

#include "engine/storage/header.hpp"

namespace kestrove::storage::index {

using coding::load;
using coding::store;

void encode_entry(uint8_t* dst, const MoleculeIndex& entry) {
    store<uint64_t>(dst, entry.offset);
    store<uint32_t>(dst + 8, entry.compressed_size);
    store<uint32_t>(dst + 12, entry.uncompressed_size);
    store<uint32_t>(dst + 16, entry.num_atoms);
}

MoleculeIndex decode_entry(const uint8_t* src) {
    return MoleculeIndex{load<uint64_t>(src), load<uint32_t>(src + 8), load<uint32_t>(src + 12),
                         load<uint32_t>(src + 16)};
}

Bytes encode_index(std::span<const MoleculeIndex> entries) {
    Bytes blob(kCountBytes + kEntryBytes * entries.size());
    store<uint64_t>(blob.data(), entries.size());
    uint8_t* at = blob.data() + kCountBytes;
    for (const MoleculeIndex& entry : entries) {
        encode_entry(at, entry);
        at += kEntryBytes;
    }
    return blob;
}

Result<std::vector<MoleculeIndex>> decode_index(std::span<const uint8_t> blob) {
    if (blob.size() < kCountBytes) return Error::invalid_data("Index too small");
    const uint64_t count = load<uint64_t>(blob.data());
    uint64_t entry_bytes, expected;
    if (__builtin_mul_overflow(count, kEntryBytes, &entry_bytes)) {
        return Error::invalid_data("Index length overflow");
    }
    // A count near 2^64 / 20 makes the sum wrap; such a blob can never match its length.
    if (__builtin_add_overflow(entry_bytes, kCountBytes, &expected) || expected != blob.size()) {
        return Error::invalid_data("Index length mismatch (expected " +
                                   std::to_string(entry_bytes + kCountBytes) + ", got " +
                                   std::to_string(blob.size()) + ")");
    }
    std::vector<MoleculeIndex> entries;
    entries.reserve(count);  // backed by the blob's length, checked above
    for (uint64_t i = 0; i < count; ++i) {
        entries.push_back(decode_entry(blob.data() + kCountBytes + kEntryBytes * i));
    }
    return entries;
}

namespace {

// A file length that bounds no entry: that of the records this process wrote itself, whose bytes
// are in the file.
constexpr uint64_t kUnboundedFile = std::numeric_limits<uint64_t>::max();

// The longest record that `entry` can yield, or 0 when its stored bytes do not lie within a file
// of `file_len` bytes, past the header slots: such an entry holds no record.
uint64_t record_size_bound(const MoleculeIndex& entry, compression::CompressionType compression,
                           uint64_t file_len) {
    uint64_t end;
    if (entry.offset < header::kDataStart ||
        __builtin_add_overflow(entry.offset, uint64_t{entry.compressed_size}, &end) ||
        end > file_len) {
        return 0;
    }
    return compression::max_decompressed_size(compression, entry.compressed_size,
                                              entry.uncompressed_size);
}

// The compression kind whose longest record slot `slot` of the cache holds.
compression::CompressionType kind_of_slot(size_t slot) {
    return compression::CompressionType{static_cast<uint32_t>(slot), 0};
}

size_t slot_of(compression::CompressionType compression) {
    return std::min<size_t>(compression.kind, compression::CompressionType::Zstd);
}

uint64_t longest_of(std::span<const MoleculeIndex> entries,
                    compression::CompressionType compression, uint64_t file_len, uint64_t longest) {
    for (const MoleculeIndex& entry : entries) {
        longest = std::max(longest, record_size_bound(entry, compression, file_len));
    }
    return longest;
}

}  // namespace

IndexStorage::IndexStorage(std::vector<MoleculeIndex> entries, uint64_t file_len)
    : state_(std::move(entries)) {
    raise_longest(std::get<0>(state_), file_len);
}

IndexStorage IndexStorage::mapped(std::shared_ptr<const void> owner, std::span<const uint8_t> map,
                                  uint64_t index_offset, uint64_t count) {
    IndexStorage storage;
    storage.state_ = Mapped{std::move(owner), map, index_offset, count};
    for (auto& longest : *storage.longest_) longest.store(kNotYetKnown, std::memory_order_relaxed);
    return storage;
}

uint64_t IndexStorage::size() const {
    if (const auto* owned = std::get_if<0>(&state_)) return owned->size();
    return std::get<1>(state_).count;
}

std::optional<MoleculeIndex> IndexStorage::get(uint64_t i) const {
    if (const auto* owned = std::get_if<0>(&state_)) {
        if (i >= owned->size()) return std::nullopt;
        return (*owned)[i];
    }
    const Mapped& m = std::get<1>(state_);
    if (i >= m.count) return std::nullopt;
    // index_offset + 8 + 20 × i + 20 must lie within the map; every step is overflow-checked.
    uint64_t at, end;
    if (__builtin_mul_overflow(i, kEntryBytes, &at) ||
        __builtin_add_overflow(at, m.index_offset, &at) ||
        __builtin_add_overflow(at, kCountBytes, &at) ||
        __builtin_add_overflow(at, kEntryBytes, &end) || end > m.map.size()) {
        return std::nullopt;
    }
    return decode_entry(m.map.data() + at);
}

Status IndexStorage::extend(std::vector<MoleculeIndex> entries) {
    auto* owned = std::get_if<0>(&state_);
    if (!owned) {
        return Error::invalid_data(
            "Cannot add molecules to a database opened with a memory-mapped index (read-only); "
            "reopen without mmap to write.");
    }
    raise_longest(entries, kUnboundedFile);
    owned->insert(owned->end(), entries.begin(), entries.end());
    return {};
}

std::span<const MoleculeIndex> IndexStorage::owned_entries() const {
    if (const auto* owned = std::get_if<0>(&state_)) return *owned;
    return {};
}

void IndexStorage::raise_longest(std::span<const MoleculeIndex> entries, uint64_t file_len) {
    for (size_t slot = 0; slot < kCompressionKinds; ++slot) {
        auto& longest = (*longest_)[slot];
        longest.store(longest_of(entries, kind_of_slot(slot), file_len,
                                 longest.load(std::memory_order_relaxed)),
                      std::memory_order_relaxed);
    }
}

uint64_t IndexStorage::longest_record_size(compression::CompressionType compression) const {
    auto& cached = (*longest_)[slot_of(compression)];
    const uint64_t known = cached.load(std::memory_order_relaxed);
    if (known != kNotYetKnown) return known;
    // A mapped index: threads that race here each work out the same value. The map is the whole
    // file.
    const uint64_t file_len = std::get<1>(state_).map.size();
    uint64_t longest = 0;
    for (uint64_t i = 0; i < size(); ++i) {
        if (const auto entry = get(i)) {
            longest = std::max(longest, record_size_bound(*entry, compression, file_len));
        }
    }
    cached.store(longest, std::memory_order_relaxed);
    return longest;
}

}  // namespace kestrove::storage::index

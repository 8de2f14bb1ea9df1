// Read-only shared memory maps of a whole file, shared between owners by reference count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/file.hpp"
#include "platform/os_error.hpp"

namespace kestrove::platform {

// A read-only MAP_SHARED view of a file's bytes as they were long when it was mapped. The map
// stays valid after the File it came from is closed and lives until its last share is dropped,
// which may happen on any thread. Bytes appended to the file later are not part of it.
class MappedFile {
public:
    // Maps the whole of `file`. An empty file gives a zero-length region without calling mmap.
    [[nodiscard]] static Result<std::shared_ptr<const MappedFile>> map(const File& file);

    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Never null, also for an empty region, so memcpy(dst, data(), 0) is well defined.
    [[nodiscard]] const std::uint8_t* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

private:
    MappedFile() noexcept;

    const std::uint8_t* data_;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;  // what munmap must be given; null when nothing was mapped
};

}  // namespace kestrove::platform

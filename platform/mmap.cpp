// mmap/munmap implementation of MappedFile.
#include "platform/mmap.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <limits>

namespace kestrove::platform {

namespace {
constexpr std::uint8_t kEmptyRegion[1] = {0};
}  // namespace

MappedFile::MappedFile() noexcept : data_(kEmptyRegion) {}

MappedFile::~MappedFile() {
    if (mapping_ != nullptr) ::munmap(mapping_, size_);
}

Result<std::shared_ptr<const MappedFile>> MappedFile::map(const File& file) {
    auto length = file.size();
    if (!length) return std::move(length).error();
    if (length.value() > std::numeric_limits<std::size_t>::max()) return os_error(EFBIG);

    // Own the region before mapping, so an allocation failure cannot leak a mapping.
    std::unique_ptr<MappedFile> region(new MappedFile());
    if (length.value() > 0) {
        const auto size = static_cast<std::size_t>(length.value());
        void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd(), 0);
        if (address == MAP_FAILED) return last_os_error();
        region->mapping_ = address;
        region->data_ = static_cast<const std::uint8_t*>(address);
        region->size_ = size;
    }
    return std::shared_ptr<const MappedFile>(std::move(region));
}

}  // namespace kestrove::platform

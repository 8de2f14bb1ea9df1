// Byte buffers, little-endian loads and stores on unaligned bytes, and a cursor writer.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace kestrove {

static_assert(std::endian::native == std::endian::little, "kestrove stores little-endian values");

// An allocator whose resize() leaves new bytes uninitialised: record, compression and read buffers
// are always overwritten in full, so zero-filling them first would be wasted work.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<std::allocator<T>>::construct(static_cast<std::allocator<T>&>(*this),
                                                            p, std::forward<Args>(args)...);
    }
};

// An owned byte list: a record, a compressed record, a blob.
using Bytes = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

namespace coding {

// Loads a T from possibly unaligned little-endian bytes.
template <class T>
inline T load(const uint8_t* src) {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, src, sizeof value);
    return value;
}

// Stores a T as little-endian bytes at a possibly unaligned address.
template <class T>
inline void store(uint8_t* dst, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(dst, &value, sizeof value);
}

// Writes forward into memory whose exact size the caller computed and allocated up front.
class Writer {
public:
    Writer(uint8_t* begin, uint8_t* end) : pos_(begin), end_(end) {}
    explicit Writer(Bytes& out) : Writer(out.data(), out.data() + out.size()) {}

    template <class T>
    void put(T value) {
        static_assert(std::is_trivially_copyable_v<T>);
        assert(static_cast<size_t>(end_ - pos_) >= sizeof value);
        std::memcpy(pos_, &value, sizeof value);
        pos_ += sizeof value;
    }
    void put_bytes(const void* data, size_t len) {
        assert(static_cast<size_t>(end_ - pos_) >= len);
        if (len != 0) std::memcpy(pos_, data, len);
        pos_ += len;
    }
    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

private:
    uint8_t* pos_;
    uint8_t* end_;
};

}  // namespace coding
}  // namespace kestrove

#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Little-endian loads and stores at any alignment, and FourCC codes: the byte order of every
// file format and wire field the system reads or writes (AVI, LVF, LMVC, caption side-files).
// Each compiles to one plain load or store on a little-endian machine, so they are fit for the
// codecs' inner loops.

namespace kx_byte_order_detail {

template <class T>
T FromLittleEndian(T value) {
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        return value;
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(value));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(value));
    } else {
        return static_cast<T>(__builtin_bswap64(value));
    }
}

template <class T>
T Load(const void* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return FromLittleEndian(value);
}

template <class T>
void Store(void* at, T value) {
    value = FromLittleEndian(value);  // the swap is its own inverse
    std::memcpy(at, &value, sizeof value);
}

}  // namespace kx_byte_order_detail

inline uint16_t LoadLE16(const void* at) {
    return kx_byte_order_detail::Load<uint16_t>(at);
}

inline uint32_t LoadLE32(const void* at) {
    return kx_byte_order_detail::Load<uint32_t>(at);
}

inline uint64_t LoadLE64(const void* at) {
    return kx_byte_order_detail::Load<uint64_t>(at);
}

inline void StoreLE16(void* at, uint16_t value) {
    kx_byte_order_detail::Store(at, value);
}

inline void StoreLE32(void* at, uint32_t value) {
    kx_byte_order_detail::Store(at, value);
}

inline void StoreLE64(void* at, uint64_t value) {
    kx_byte_order_detail::Store(at, value);
}

// The FourCC value of four characters: the first in the lowest byte, so that the value stored
// little-endian reads as the characters in order.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// `FourCC("LMVC")`: the four characters of a literal (its terminating NUL is not part of it).
constexpr uint32_t FourCC(const char (&code)[5]) {
    return FourCC(code[0], code[1], code[2], code[3]);
}

// Appends little-endian fields to a byte vector, for headers built field by field (AVI chunks
// and indexes, stream formats).
class TLEWriter {
  public:
    explicit TLEWriter(std::vector<uint8_t>& out) : FOut(out) {}
    void U8(uint8_t v) { FOut.push_back(v); }
    void U16(uint16_t v) { Append(v); }
    void U32(uint32_t v) { Append(v); }
    void U64(uint64_t v) { Append(v); }
    void FourCC(const char* code) { Bytes(code, 4); }
    void Bytes(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        FOut.insert(FOut.end(), p, p + size);
    }
    void Zeros(size_t count) { FOut.insert(FOut.end(), count, 0); }

  private:
    template <class T>
    void Append(T v) {
        const size_t at = FOut.size();
        FOut.resize(at + sizeof v);
        kx_byte_order_detail::Store(FOut.data() + at, v);
    }

    std::vector<uint8_t>& FOut;
};

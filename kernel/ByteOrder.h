// Numbers in a stated byte order, whatever the machine's: every format the program reads or writes
// (payloads, archives, logs, summaries, caches, the repair protocol) takes its integers from here,
// and the build refuses a private copy of these loops elsewhere (cmake/CheckByteOrder.cmake).
// Reads and writes go through byte pointers of any alignment; Append adds to a std::string or a
// std::vector of bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

namespace ByteOrder
{
// A copy (which compiles to one load or store at any alignment) and at most one swap.
template <typename Number> Number Swap(Number value)
{
    if constexpr (sizeof(Number) == 2)
        return __builtin_bswap16(value);
    else if constexpr (sizeof(Number) == 4)
        return __builtin_bswap32(value);
    else
        return __builtin_bswap64(value);
}

template <typename Number, std::endian Order> Number Read(const void *bytes)
{
    Number value;
    std::memcpy(&value, bytes, sizeof value);
    return Order == std::endian::native ? value : Swap(value);
}

template <typename Number, std::endian Order> void Write(void *bytes, Number value)
{
    const Number ordered = Order == std::endian::native ? value : Swap(value);
    std::memcpy(bytes, &ordered, sizeof ordered);
}

template <typename Number, std::endian Order, typename Bytes> void Append(Bytes &bytes, Number value)
{
    unsigned char field[sizeof(Number)];
    Write<Number, Order>(field, value);
    bytes.insert(bytes.end(), field, field + sizeof field);
}
} // namespace ByteOrder

namespace LittleEndian
{
inline uint16_t Read16(const void *bytes) { return ByteOrder::Read<uint16_t, std::endian::little>(bytes); }
inline uint32_t Read32(const void *bytes) { return ByteOrder::Read<uint32_t, std::endian::little>(bytes); }
inline uint64_t Read64(const void *bytes) { return ByteOrder::Read<uint64_t, std::endian::little>(bytes); }
inline void Write16(void *bytes, uint16_t value) { ByteOrder::Write<uint16_t, std::endian::little>(bytes, value); }
inline void Write32(void *bytes, uint32_t value) { ByteOrder::Write<uint32_t, std::endian::little>(bytes, value); }
inline void Write64(void *bytes, uint64_t value) { ByteOrder::Write<uint64_t, std::endian::little>(bytes, value); }
template <typename Bytes> void Append16(Bytes &bytes, uint16_t value)
{
    ByteOrder::Append<uint16_t, std::endian::little>(bytes, value);
}
template <typename Bytes> void Append32(Bytes &bytes, uint32_t value)
{
    ByteOrder::Append<uint32_t, std::endian::little>(bytes, value);
}
template <typename Bytes> void Append64(Bytes &bytes, uint64_t value)
{
    ByteOrder::Append<uint64_t, std::endian::little>(bytes, value);
}
} // namespace LittleEndian

namespace BigEndian
{
inline uint16_t Read16(const void *bytes) { return ByteOrder::Read<uint16_t, std::endian::big>(bytes); }
inline uint32_t Read32(const void *bytes) { return ByteOrder::Read<uint32_t, std::endian::big>(bytes); }
inline uint64_t Read64(const void *bytes) { return ByteOrder::Read<uint64_t, std::endian::big>(bytes); }
inline void Write16(void *bytes, uint16_t value) { ByteOrder::Write<uint16_t, std::endian::big>(bytes, value); }
inline void Write32(void *bytes, uint32_t value) { ByteOrder::Write<uint32_t, std::endian::big>(bytes, value); }
inline void Write64(void *bytes, uint64_t value) { ByteOrder::Write<uint64_t, std::endian::big>(bytes, value); }
template <typename Bytes> void Append16(Bytes &bytes, uint16_t value)
{
    ByteOrder::Append<uint16_t, std::endian::big>(bytes, value);
}
template <typename Bytes> void Append32(Bytes &bytes, uint32_t value)
{
    ByteOrder::Append<uint32_t, std::endian::big>(bytes, value);
}
template <typename Bytes> void Append64(Bytes &bytes, uint64_t value)
{
    ByteOrder::Append<uint64_t, std::endian::big>(bytes, value);
}
} // namespace BigEndian

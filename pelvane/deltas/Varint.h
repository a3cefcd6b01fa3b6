// LEB128 unsigned integers (7 bits a byte, low bits first) and the zigzag
// form of signed ones, for the headers and control streams of deltas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pelvane::deltas::varint
{
inline void put(std::string& out, std::uint64_t value)
{
    while (value >= 0x80)
    {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

inline std::uint64_t zigzag(std::int64_t value)
{
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

inline std::int64_t unzigzag(std::uint64_t value)
{
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// Reads one value from [at, end); false when the bytes end inside it or it
// runs over 64 bits.
inline bool get(const unsigned char*& at, const unsigned char* end, std::uint64_t& value)
{
    value = 0;
    for (int shift = 0; shift < 64; shift += 7)
    {
        if (at == end)
        {
            return false;
        }
        const unsigned char byte = *at++;
        if (shift == 63 && byte > 1)
        {
            return false;
        }
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0)
        {
            return true;
        }
    }
    return false;
}
} // namespace pelvane::deltas::varint

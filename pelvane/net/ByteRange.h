// A run of bytes of one resource, inclusive at both ends, as a Range header
// names it.
#pragma once

#include <cstdint>

namespace pelvane
{
struct ByteRange
{
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive, as in a Range header
    std::uint64_t size() const { return last - first + 1; }
};
} // namespace pelvane

// A look at JSON text before it is parsed: the parser copes with deep
// nesting, but what is built from it (and written back) may not, and a
// megabyte of '[' must cost nothing.
#pragma once

#include <cstddef>
#include <string_view>

namespace pelvane
{
// false when arrays and objects nest deeper than `maxDepth` anywhere in `text`
bool jsonNestingWithin(std::string_view text, std::size_t maxDepth);
} // namespace pelvane

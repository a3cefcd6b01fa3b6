// Lowercase hex text of raw bytes and back: digests, keys and signatures all
// travel as hex in the manifest, its signature file and the chunk indexes.
#pragma once

#include <string>
#include <string_view>

namespace pelvane
{
std::string toHex(std::string_view bytes);
// False when `text` is not an even run of hex digits (either case).
bool fromHex(std::string_view text, std::string& bytes);
} // namespace pelvane

// A dotted numeric version ("2", "1.10.3"). Missing trailing parts count as
// zero, so "1.2" and "1.2.0" are the same version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane
{
class VersionNumber
{
public:
    static constexpr std::size_t MAX_PARTS = 8;
    static constexpr std::size_t MAX_PART_DIGITS = 9;

    // Empty when the text is not 1 to 8 dot-separated runs of 1 to 9 digits.
    static std::optional<VersionNumber> parse(std::string_view text);

    int compare(const VersionNumber& other) const;
    bool operator<(const VersionNumber& other) const { return compare(other) < 0; }
    bool operator==(const VersionNumber& other) const { return compare(other) == 0; }
    const std::string& text() const { return m_text; }

private:
    std::vector<std::uint32_t> m_parts;
    std::string m_text;
};
} // namespace pelvane

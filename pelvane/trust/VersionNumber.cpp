#include "pelvane/trust/VersionNumber.h"

namespace pelvane
{
std::optional<VersionNumber> VersionNumber::parse(std::string_view text)
{
    VersionNumber number;
    std::size_t digits = 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i)
    {
        if (i == text.size() || text[i] == '.')
        {
            if (digits == 0 || number.m_parts.size() == MAX_PARTS)
            {
                return std::nullopt;
            }
            number.m_parts.push_back(value);
            digits = 0;
            value = 0;
            continue;
        }
        const char c = text[i];
        if (c < '0' || c > '9' || ++digits > MAX_PART_DIGITS)
        {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    number.m_text = std::string(text);
    return number;
}

int VersionNumber::compare(const VersionNumber& other) const
{
    const std::size_t count = std::max(m_parts.size(), other.m_parts.size());
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint32_t mine = i < m_parts.size() ? m_parts[i] : 0;
        const std::uint32_t theirs = i < other.m_parts.size() ? other.m_parts[i] : 0;
        if (mine != theirs)
        {
            return mine < theirs ? -1 : 1;
        }
    }
    return 0;
}
} // namespace pelvane

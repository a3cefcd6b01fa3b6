// Small readers of HTTP header lines, shared by the whole-file and the range
// fetchers: header names compare without case, values lose their blanks and
// line end.
#pragma once

#include <cctype>
#include <string_view>

namespace pelvane::headertext
{
inline bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
        {
            return false;
        }
    }
    return true;
}

inline std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '\t'))
    {
        text.remove_suffix(1);
    }
    return text;
}
} // namespace pelvane::headertext

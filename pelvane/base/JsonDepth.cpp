#include "pelvane/base/JsonDepth.h"

namespace pelvane
{
bool jsonNestingWithin(std::string_view text, std::size_t maxDepth)
{
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text)
    {
        if (inString)
        {
            if (escaped)
            {
                escaped = false;
            }
            else if (c == '\\')
            {
                escaped = true;
            }
            else if (c == '"')
            {
                inString = false;
            }
            continue;
        }
        if (c == '"')
        {
            inString = true;
        }
        else if (c == '[' || c == '{')
        {
            if (++depth > maxDepth)
            {
                return false;
            }
        }
        else if ((c == ']' || c == '}') && depth > 0)
        {
            --depth;
        }
    }
    return true;
}
} // namespace pelvane

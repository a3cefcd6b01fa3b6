#include "pelvane/trust/ChannelEnvelope.h"

#include <algorithm>

namespace pelvane
{
ChannelEnvelope::Split ChannelEnvelope::split(std::string_view bytes,
                                              std::string_view& signatureLines,
                                              std::string_view& payload, std::string& problem)
{
    if (bytes.size() > MAX_BYTES)
    {
        problem = "channel file too large";
        return Split::NotAChannel;
    }
    const std::size_t firstEnd = bytes.find('\n');
    std::string_view first = bytes.substr(0, firstEnd);
    if (!first.empty() && first.back() == '\r')
    {
        first.remove_suffix(1);
    }
    const std::string expected = std::string(MAGIC) + " " + std::to_string(FORMAT);
    if (first != expected)
    {
        const std::string_view word = first.substr(0, MAGIC.size() + 1);
        const std::string_view number = first.substr(std::min(first.size(), MAGIC.size() + 1));
        const bool numbered =
            word == std::string(MAGIC) + " " && !number.empty() && number.size() <= 9 &&
            number.find_first_not_of("0123456789") == std::string_view::npos;
        problem = numbered ? "channel format " + std::string(number) + " is not known to this client"
                           : std::string("not a channel file");
        return Split::NotAChannel;
    }
    if (firstEnd == std::string_view::npos)
    {
        problem = "channel file ends before its signatures";
        return Split::Cut;
    }
    // the signature block ends at the first empty line
    const std::string_view rest = bytes.substr(firstEnd + 1);
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t end = rest.find('\n', start);
        if (end == std::string_view::npos)
        {
            problem = "channel file ends before its payload";
            return Split::Cut;
        }
        const std::string_view line = rest.substr(start, end - start);
        if (line.empty() || line == "\r")
        {
            signatureLines = rest.substr(0, start);
            payload = rest.substr(end + 1);
            return Split::Done;
        }
        start = end + 1;
    }
}

std::string ChannelEnvelope::compose(std::string_view signatureLines, std::string_view payload)
{
    std::string bytes = std::string(MAGIC) + " " + std::to_string(FORMAT) + "\n";
    bytes.append(signatureLines);
    bytes += "\n";
    bytes.append(payload);
    return bytes;
}
} // namespace pelvane

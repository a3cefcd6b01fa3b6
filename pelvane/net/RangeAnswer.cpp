#include "pelvane/net/RangeAnswer.h"

#include "pelvane/net/HeaderText.h"

#include <algorithm>
#include <cerrno>

namespace pelvane
{
namespace
{
constexpr std::size_t MAX_LINE = 4096;
// room for a server that merges ranges across small gaps, as it may
constexpr std::uint64_t WASTE_ALLOWANCE = 64U * 1024U;

using headertext::startsWithNoCase;
using headertext::trimmed;
} // namespace

RangeAnswer::RangeAnswer(RangeSink& target, std::uint64_t askedBytes)
    : m_target(target), m_askedBytes(askedBytes)
{
}

void RangeAnswer::header(std::string_view line)
{
    if (startsWithNoCase(line, "HTTP/"))
    {
        m_status = headertext::statusCode(line);
        m_boundary.clear();
        m_single = ByteRange{};
        m_haveSingle = false;
    }
    else if (const auto range = headertext::valueOf(line, "Content-Range:"))
    {
        const std::optional<ByteRange> parsed = headertext::contentRange(*range);
        m_haveSingle = parsed.has_value();
        m_single = parsed.value_or(ByteRange{});
    }
    else if (const auto type = headertext::valueOf(line, "Content-Type:"))
    {
        const std::size_t at = type->find("boundary=");
        if (startsWithNoCase(*type, "multipart/byteranges") && at != std::string_view::npos)
        {
            std::string_view boundary = type->substr(at + 9);
            boundary = boundary.substr(0, boundary.find(';'));
            if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
            {
                boundary = boundary.substr(1, boundary.size() - 2);
            }
            m_boundary = std::string(boundary);
        }
    }
}

int RangeAnswer::start(std::uint64_t, const std::string&, const std::string&)
{
    if (m_status == 200)
    {
        m_wholeAnswer = true;
        return ECANCELED; // not a byte of it is wanted
    }
    if (m_status != 206 || (m_boundary.empty() && !m_haveSingle))
    {
        return malformed();
    }
    m_multipart = !m_boundary.empty();
    m_state = m_multipart ? State::BetweenParts : State::Body;
    if (!m_multipart)
    {
        m_offset = m_single.first;
        m_left = m_single.size();
        m_parts = 1;
    }
    return 0;
}

int RangeAnswer::take(const char* data, std::size_t size)
{
    const std::uint64_t before = m_target.usedBytes();
    if (const int error = m_target.accept(m_offset, data, size))
    {
        return error;
    }
    const std::uint64_t kept = std::min<std::uint64_t>(m_target.usedBytes() - before, size);
    m_used += kept;
    m_wasted += size - kept;
    if (m_wasted > m_askedBytes + WASTE_ALLOWANCE)
    {
        m_cutForWaste = true;
        return EPROTO;
    }
    return 0;
}

int RangeAnswer::write(const char* data, std::size_t size)
{
    while (size > 0)
    {
        if (m_state == State::Body)
        {
            if (m_left == 0)
            {
                return malformed(); // more than the range said
            }
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, size));
            if (const int error = take(data, piece))
            {
                return error;
            }
            m_offset += piece;
            m_left -= piece;
            data += piece;
            size -= piece;
            if (m_left == 0 && m_multipart)
            {
                m_state = State::BetweenParts;
            }
            continue;
        }
        if (m_state == State::Done)
        {
            return 0; // the epilogue
        }
        const char c = *data++;
        --size;
        if (c != '\n')
        {
            m_line.push_back(c);
            if (m_line.size() > MAX_LINE)
            {
                return malformed();
            }
            continue;
        }
        const int error = endOfLine(trimmed(m_line));
        m_line.clear();
        if (error != 0)
        {
            return error;
        }
    }
    return 0;
}

int RangeAnswer::malformed()
{
    m_unusable = true;
    return EPROTO;
}

int RangeAnswer::endOfLine(std::string_view line)
{
    if (m_state == State::BetweenParts)
    {
        const std::string_view boundary(m_boundary);
        if (line.size() >= boundary.size() + 2 && line.substr(0, 2) == "--" &&
            line.substr(2, boundary.size()) == boundary)
        {
            const std::string_view rest = line.substr(boundary.size() + 2);
            if (rest.empty())
            {
                m_state = State::PartHeaders;
                m_havePartRange = false;
            }
            else if (rest == "--")
            {
                m_state = State::Done;
            }
        }
        return 0; // preamble and the blank line after a part
    }
    if (!line.empty())
    {
        if (const auto range = headertext::valueOf(line, "Content-Range:"))
        {
            const std::optional<ByteRange> parsed = headertext::contentRange(*range);
            m_havePartRange = parsed.has_value();
            m_partRange = parsed.value_or(ByteRange{});
        }
        return 0;
    }
    if (!m_havePartRange)
    {
        return malformed();
    }
    m_offset = m_partRange.first;
    m_left = m_partRange.size();
    m_state = State::Body;
    ++m_parts;
    return 0;
}
} // namespace pelvane

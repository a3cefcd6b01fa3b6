// Reads the answer to one range request for a RangeSink: a whole 200 (noted,
// and the transfer stopped at once), one 206 range, or a
// multipart/byteranges body taken part by part. It also counts what the
// answer wasted: bytes of ranges the sink did not want. An answer that
// brings more of those than was asked for is cut, since a server may
// otherwise send unasked parts for ever.
#pragma once

#include "pelvane/net/ByteRange.h"
#include "pelvane/net/HttpFetcher.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvane
{
class RangeSink
{
public:
    virtual ~RangeSink() = default;
    // Bytes of the resource starting at `offset`, in order within a range.
    // Returns 0 or an errno; any error ends the request.
    virtual int accept(std::uint64_t offset, const char* data, std::size_t size) = 0;
    virtual std::vector<ByteRange> missing() const = 0;
    // How many of the bytes given to accept() it kept, in all.
    virtual std::uint64_t usedBytes() const = 0;
};

// Hands the bytes [offset, offset + size) of an answer to the runs they
// fall in: `runs` ascending and apart, each with first() and length();
// take(run, offsetInRun, data, count) for each part, which answers 0 or an
// errno (ending the split). Bytes outside every run are dropped.
template <typename Run, typename Take>
int splitAmongRuns(std::vector<Run>& runs, std::uint64_t offset, const char* data,
                   std::size_t size, const Take& take)
{
    auto it = std::upper_bound(runs.begin(), runs.end(), offset,
                               [](std::uint64_t value, const Run& run)
                               { return value < run.first() + run.length(); });
    while (size > 0 && it != runs.end())
    {
        if (offset < it->first())
        {
            const std::uint64_t gap = it->first() - offset;
            if (gap >= size)
            {
                return 0;
            }
            offset += gap;
            data += gap;
            size -= static_cast<std::size_t>(gap);
        }
        const std::uint64_t inRun = offset - it->first();
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, it->length() - inRun));
        if (const int error = take(*it, inRun, data, count))
        {
            return error;
        }
        offset += count;
        data += count;
        size -= count;
        ++it;
    }
    return 0;
}

class RangeAnswer : public FetchSink
{
public:
    // `askedBytes`: the size of the ranges this request asks for.
    RangeAnswer(RangeSink& target, std::uint64_t askedBytes);

    void header(std::string_view line) override;
    int start(std::uint64_t, const std::string&, const std::string&) override;
    int write(const char* data, std::size_t size) override;

    bool wholeAnswer() const { return m_wholeAnswer; }
    bool unusable() const { return m_unusable; }
    std::size_t parts() const { return m_parts; }
    bool multipart() const { return m_multipart; }
    // bytes of the answer's ranges the sink kept, and those it dropped
    std::uint64_t used() const { return m_used; }
    std::uint64_t wasted() const { return m_wasted; }
    bool cutForWaste() const { return m_cutForWaste; }

private:
    enum class State
    {
        BetweenParts,
        PartHeaders,
        Body,
        Done
    };

    int malformed();
    int endOfLine(std::string_view line);
    int take(const char* data, std::size_t size);

    RangeSink& m_target;
    std::uint64_t m_askedBytes;
    long m_status = 0;
    std::string m_boundary;
    ByteRange m_single;
    bool m_haveSingle = false;
    bool m_wholeAnswer = false;
    bool m_unusable = false;
    bool m_multipart = false;
    bool m_cutForWaste = false;
    State m_state = State::Done;
    std::string m_line;
    ByteRange m_partRange;
    bool m_havePartRange = false;
    std::uint64_t m_offset = 0;
    std::uint64_t m_left = 0;
    std::uint64_t m_used = 0;
    std::uint64_t m_wasted = 0;
    std::size_t m_parts = 0;
};
} // namespace pelvane

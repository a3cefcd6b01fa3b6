// libFuzzer target for the reader of range answers. The input is an answer
// as it comes over the wire: header lines, a blank line, the body. Whatever
// they hold, every byte handed on comes from the body, in order, what is
// handed on is counted as used or wasted and nothing else, a whole answer
// hands on nothing, and the outcome does not depend on how the body is
// split into writes.
#include "fuzz/FuzzCheck.h"
#include "pelvane/net/RangeAnswer.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace
{
using fuzzcheck::check;

// Wants two ranges, keeps only their bytes, remembers every byte it was given.
class WantingSink : public pelvane::RangeSink
{
public:
    int accept(std::uint64_t offset, const char* data, std::size_t size) override
    {
        check(size > 0, "no empty pieces");
        check(offset + size > offset, "offsets do not wrap");
        for (std::size_t i = 0; i < size; ++i)
        {
            given.emplace_back(offset + i, data[i]);
            for (const pelvane::ByteRange& want : missing())
            {
                if (offset + i >= want.first && offset + i <= want.last)
                {
                    ++kept;
                    break;
                }
            }
        }
        return 0;
    }
    std::vector<pelvane::ByteRange> missing() const override { return {{0, 99}, {200, 299}}; }
    std::uint64_t usedBytes() const override { return kept; }

    std::vector<std::pair<std::uint64_t, char>> given;
    std::uint64_t kept = 0;
};

struct Run
{
    int error = 0;
    bool whole = false;
    bool unusable = false;
    bool multipart = false;
    std::size_t parts = 0;
    std::uint64_t used = 0;
    std::uint64_t wasted = 0;
    std::vector<std::pair<std::uint64_t, char>> given;
};

Run answer(const std::vector<std::string_view>& headers, std::string_view body,
           std::size_t piece)
{
    WantingSink sink;
    pelvane::RangeAnswer reader(sink, 200);
    for (const std::string_view line : headers)
    {
        reader.header(line);
    }
    Run run;
    run.error = reader.start(0, "", "");
    if (run.error == 0)
    {
        for (std::size_t at = 0; at < body.size() && run.error == 0; at += piece)
        {
            const std::string copy(body.substr(at, piece)); // its own buffer, as curl's
            run.error = reader.write(copy.data(), copy.size());
        }
    }
    run.whole = reader.wholeAnswer();
    run.unusable = reader.unusable();
    run.multipart = reader.multipart();
    run.parts = reader.parts();
    run.used = reader.used();
    run.wasted = reader.wasted();
    run.given = std::move(sink.given);
    check(run.used == sink.kept, "used is what the sink kept");
    return run;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // header lines with their line ends, as curl hands them on, up to a blank one
    std::vector<std::string_view> headers;
    std::string_view body;
    for (std::size_t at = 0; at < input.size();)
    {
        const std::size_t end = std::min(input.find('\n', at), input.size() - 1);
        const std::string_view line = input.substr(at, end - at + 1);
        at = end + 1;
        if (line == "\n" || line == "\r\n")
        {
            body = input.substr(at);
            break;
        }
        headers.push_back(line);
    }

    const Run whole = answer(headers, body, body.size() + 1);
    check(whole.used + whole.wasted == whole.given.size(), "every byte used or wasted");
    check(whole.given.size() <= body.size(), "no more bytes than the body holds");
    check(!whole.whole || (whole.given.empty() && whole.error == ECANCELED),
          "a whole answer is stopped at once");
    check(!whole.unusable || whole.error == EPROTO, "an unusable answer ends the request");
    check(whole.multipart || whole.parts <= 1, "one part without a boundary");
    // each byte handed on is found in the body, in order
    std::size_t from = 0;
    for (const auto& [offset, byte] : whole.given)
    {
        const std::size_t at = body.find(byte, from);
        check(at != std::string_view::npos, "bytes come from the body, in order");
        from = at + 1;
        (void)offset;
    }

    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}})
    {
        const Run split = answer(headers, body, piece);
        check(split.error == whole.error && split.whole == whole.whole &&
                  split.unusable == whole.unusable && split.parts == whole.parts &&
                  split.used == whole.used && split.wasted == whole.wasted &&
                  split.given == whole.given,
              "the outcome does not depend on how the body is split");
    }
    return 0;
}

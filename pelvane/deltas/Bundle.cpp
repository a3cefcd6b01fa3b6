#include "pelvane/deltas/Bundle.h"

#include "pelvane/base/Sha256.h"

#include <algorithm>
#include <string_view>

namespace pelvane::deltas
{
namespace
{
// Counts what passes on to the bundle, so that a piece's size is what was
// written, not what was meant.
class CountingSink : public ByteSink
{
public:
    explicit CountingSink(ByteSink& out) : m_out(out) {}
    int write(const void* data, std::size_t size) override
    {
        const int error = m_out.write(data, size);
        m_written += error == 0 ? size : 0;
        return error;
    }
    std::uint64_t written() const { return m_written; }

private:
    ByteSink& m_out;
    std::uint64_t m_written = 0;
};
} // namespace

CodecStatus BundleWriter::appendSection(const DeltaSectionWriter& section, BundlePiece& piece,
                                        DeltaSectionSummary& summary)
{
    if (m_objects)
    {
        return CodecStatus::failure(CodecError::WrongInput, "a delta section after an object");
    }
    CountingSink sink(m_out);
    const CodecStatus status = section.write(sink, summary);
    piece = {m_size, sink.written(), summary.indexSha256};
    m_size += sink.written();
    return status;
}

CodecStatus BundleWriter::appendObject(std::span<const unsigned char> object, BundlePiece& piece)
{
    m_objects = true;
    const std::string_view bytes(reinterpret_cast<const char*>(object.data()), object.size());
    if (const int error = m_out.write(object.data(), object.size()))
    {
        return CodecStatus::disk(error, "writing the bundle");
    }
    piece = {m_size, object.size(), sha256Hex(bytes)};
    m_size += object.size();
    return CodecStatus::success();
}

CodecStatus checkBundleLayout(std::uint64_t bundleSize, std::vector<BundlePiece> pieces)
{
    std::sort(pieces.begin(), pieces.end(),
              [](const BundlePiece& a, const BundlePiece& b) { return a.offset < b.offset; });
    std::uint64_t end = 0;
    for (const BundlePiece& piece : pieces)
    {
        const std::string where = "bundle piece at " + std::to_string(piece.offset) + " of " +
                                  std::to_string(piece.size) + " bytes";
        if (piece.size == 0 || piece.offset > bundleSize || piece.size > bundleSize - piece.offset)
        {
            return CodecStatus::failure(CodecError::Corrupt, where + " outside a bundle of " +
                                                                 std::to_string(bundleSize));
        }
        if (piece.offset < end)
        {
            return CodecStatus::failure(CodecError::Corrupt, where + " overlaps another");
        }
        end = piece.offset + piece.size;
    }
    return CodecStatus::success();
}
} // namespace pelvane::deltas

#include "pelvane/deltas/TargetWriter.h"

namespace pelvane::deltas
{
CodecStatus TargetWriter::open(int fd, std::uint64_t size)
{
    m_digest.reset();
    m_hashed = 0;
    return CodecStatus::disk(m_file.open(fd, size), "preparing the target file");
}

void TargetWriter::commit(std::uint64_t upTo)
{
    if (upTo > m_hashed && upTo <= m_file.size())
    {
        m_digest.update(m_file.data() + m_hashed, static_cast<std::size_t>(upTo - m_hashed));
        m_hashed = upTo;
    }
}

CodecStatus TargetWriter::verify(const std::string& sha256)
{
    if (m_hashed != m_file.size())
    {
        return CodecStatus::failure(CodecError::Truncated,
                                    "delta produced " + std::to_string(m_hashed) + " of " +
                                        std::to_string(m_file.size()) + " bytes");
    }
    if (!digestsEqual(sha256, m_digest.finishHex()))
    {
        return CodecStatus::failure(CodecError::WrongTarget, "the result fails its SHA-256");
    }
    return CodecStatus::disk(m_file.flush(), "writing the target file");
}
} // namespace pelvane::deltas

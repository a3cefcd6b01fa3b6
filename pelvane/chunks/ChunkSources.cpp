#include "pelvane/chunks/ChunkSources.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ContentChunker.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <cerrno>

namespace pelvane
{
bool ChunkSources::scanFile(const std::string& path, const std::unordered_set<std::string>& wanted,
                            const CancelToken& cancel)
{
    platform::FileDescriptor file(
        platform::SystemCalls::open(path, platform::SystemCalls::OpenMode::Read));
    platform::SystemCalls::Info info;
    if (!file.valid() || platform::SystemCalls::status(file.get(), info) != 0 ||
        !m_chunked.emplace(info.device, info.inode).second)
    {
        return true;
    }
    std::size_t found = 0;
    ContentChunker chunker(
        [&](std::uint64_t offset, std::uint32_t length, const std::string& sha256)
        {
            if (wanted.count(sha256) != 0 &&
                m_locations.emplace(sha256, Location{path, offset, length}).second)
            {
                ++found;
            }
        });
    std::vector<unsigned char> buffer(1024 * 1024);
    for (;;)
    {
        if (cancel.canceled())
        {
            return false;
        }
        const std::int64_t got =
            platform::SystemCalls::read(file.get(), buffer.data(), buffer.size());
        if (got < 0)
        {
            PELVANE_LOG_WARN("Cannot read " << path << " for chunks: errno " << errno);
            return true; // what was found so far is still checked before use
        }
        if (got == 0)
        {
            break;
        }
        chunker.update(buffer.data(), static_cast<std::size_t>(got));
    }
    chunker.finish();
    PELVANE_LOG_TRACE("Found " << found << " wanted chunks in " << path);
    return true;
}

void ChunkSources::addIndexed(const std::string& path, const ChunkIndex& index)
{
    for (const Chunk& chunk : index.chunks())
    {
        m_locations.emplace(chunk.sha256, Location{path, chunk.offset, chunk.length});
    }
}

const ChunkSources::Location* ChunkSources::find(const std::string& sha256) const
{
    const auto found = m_locations.find(sha256);
    return found == m_locations.end() ? nullptr : &found->second;
}

bool ChunkSources::readVerified(const Location& location, const std::string& sha256,
                                std::vector<unsigned char>& buffer)
{
    platform::FileDescriptor file(
        platform::SystemCalls::open(location.file, platform::SystemCalls::OpenMode::Read));
    if (!file.valid())
    {
        return false;
    }
    buffer.resize(location.length);
    if (platform::SystemCalls::readAllAt(file.get(), buffer.data(), location.length,
                                         location.offset) != 0)
    {
        return false;
    }
    Sha256 digest;
    digest.update(buffer.data(), buffer.size());
    return digestsEqual(sha256, digest.finishHex());
}
} // namespace pelvane

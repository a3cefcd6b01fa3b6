#include "pelvane/chunks/ChunkAssembler.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/files/ExtractLayout.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>

namespace pelvane
{
namespace
{
constexpr int CHUNK_MISMATCH = EBADMSG;

FetchResult failure(FetchResult::Kind kind, std::int32_t apiError, int errorNumber)
{
    FetchResult result;
    result.kind = kind;
    result.apiError = apiError;
    result.primary = errorNumber;
    return result;
}

int writeAt(int fd, const unsigned char* data, std::size_t size, std::uint64_t offset)
{
    return platform::SystemCalls::writeAllAt(fd, data, size, offset) == 0 ? 0 : errno;
}

// The chunks still to come from the server, each hashed as its bytes arrive
// in order; bytes for anything else are dropped.
class ChunkReceiver : public RangeSink
{
public:
    struct Pending
    {
        const Chunk* chunk;
        std::uint64_t received = 0;
        std::unique_ptr<Sha256> digest = std::make_unique<Sha256>();
    };

    ChunkReceiver(int fd, const ChunkAssembler::Progress& progress) : m_fd(fd), m_progress(progress)
    {
    }

    void add(const Chunk& chunk) { m_pending.push_back(Pending{&chunk}); }
    bool empty() const { return m_pending.empty(); }

    int accept(std::uint64_t offset, const char* data, std::size_t size) override
    {
        // the first pending chunk that ends after `offset`
        auto it = std::upper_bound(m_pending.begin(), m_pending.end(), offset,
                                   [](std::uint64_t value, const Pending& p)
                                   { return value < p.chunk->offset + p.chunk->length; });
        while (size > 0 && it != m_pending.end())
        {
            const Chunk& chunk = *it->chunk;
            if (offset < chunk.offset)
            {
                const std::uint64_t gap = chunk.offset - offset;
                if (gap >= size)
                {
                    return 0;
                }
                offset += gap;
                data += gap;
                size -= static_cast<std::size_t>(gap);
            }
            const std::uint64_t inChunk = offset - chunk.offset;
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.length - inChunk));
            if (inChunk == it->received && it->received < chunk.length)
            {
                const auto* bytes = reinterpret_cast<const unsigned char*>(data);
                if (const int error = writeAt(m_fd, bytes, take, offset))
                {
                    return error;
                }
                it->digest->update(bytes, take);
                it->received += take;
                m_networkBytes += take;
                m_progress(m_networkBytes);
                if (it->received == chunk.length &&
                    !digestsEqual(chunk.sha256, it->digest->finishHex()))
                {
                    m_mismatchAt = chunk.offset;
                    return CHUNK_MISMATCH;
                }
            }
            offset += take;
            data += take;
            size -= take;
            ++it;
        }
        return 0;
    }

    std::vector<ByteRange> missing() const override
    {
        std::vector<ByteRange> ranges;
        for (const Pending& p : m_pending)
        {
            if (p.received < p.chunk->length)
            {
                ranges.push_back(
                    {p.chunk->offset + p.received, p.chunk->offset + p.chunk->length - 1});
            }
        }
        return FetchPlanner::merge(std::move(ranges));
    }

    std::uint64_t networkBytes() const { return m_networkBytes; }
    bool mismatch() const { return m_mismatchAt != UINT64_MAX; }
    std::uint64_t mismatchAt() const { return m_mismatchAt; }

private:
    int m_fd;
    const ChunkAssembler::Progress& m_progress;
    std::vector<Pending> m_pending; // ascending by offset
    std::uint64_t m_networkBytes = 0;
    std::uint64_t m_mismatchAt = UINT64_MAX;
};
} // namespace

ChunkAssembler::ChunkAssembler(RangeFetcher& ranges, const CancelToken& cancel)
    : m_ranges(ranges), m_cancel(cancel)
{
}

std::string ChunkAssembler::assemblyPath(const std::string& versionFolder, const std::string& path)
{
    return ExtractLayout(versionFolder).assemblyPath(path);
}

ChunkAssembler::Result ChunkAssembler::assemble(const std::vector<std::string>& fileUrls,
                                                const std::string& versionFolder,
                                                const ManifestFile& file, const ChunkIndex& index,
                                                const ChunkPlan& plan, const Progress& progress)
{
    Result result;
    const auto fetchWhole = [&result](std::string reason)
    {
        result.fetchWhole = true;
        result.reason = std::move(reason);
        return result;
    };
    if (m_ranges.rangesRefused())
    {
        return fetchWhole("the server does not serve byte ranges");
    }
    const ExtractLayout layout(versionFolder);
    const std::string assembly = layout.assemblyPath(file.path);
    const std::string finalPath = layout.verifiedPath(file.path);
    int error = layout.makeFoldersFor(file.path);
    platform::FileDescriptor out(
        error != 0 ? -1
                   : platform::SystemCalls::open(
                         assembly, platform::SystemCalls::OpenMode::WriteCreateNoFollow, 0644));
    if (error == 0 && !out.valid())
    {
        error = errno;
    }
    if (error == 0 && platform::SystemCalls::truncate(out.get(), file.size) != 0)
    {
        error = errno;
    }
    if (error != 0)
    {
        result.fetch = failure(FetchResult::Kind::Permanent, API_DISK, error);
        return result;
    }

    // Local chunks first: each one is read back and checked before it is used.
    ChunkReceiver receiver(out.get(), progress);
    std::vector<unsigned char> buffer;
    std::vector<std::size_t> repeats; // copies of chunks this file fetches first
    for (std::size_t i = 0; i < index.chunks().size(); ++i)
    {
        if (m_cancel.canceled())
        {
            result.fetch = failure(FetchResult::Kind::Canceled, API_CANCELED, 0);
            return result;
        }
        const Chunk& chunk = index.chunks()[i];
        const std::optional<ChunkSources::Location>& local = plan.local[i];
        if (local && local->file == assembly && local->offset != chunk.offset)
        {
            repeats.push_back(i);
            continue;
        }
        if (local && ChunkSources::readVerified(*local, chunk.sha256, buffer))
        {
            // a chunk an earlier run already put in place stays where it is
            const bool inPlace = local->file == assembly && local->offset == chunk.offset;
            if (!inPlace &&
                (error = writeAt(out.get(), buffer.data(), buffer.size(), chunk.offset)) != 0)
            {
                result.fetch = failure(FetchResult::Kind::Permanent, API_DISK, error);
                return result;
            }
            result.localBytes += chunk.length;
            continue;
        }
        if (local)
        {
            PELVANE_LOG_INFO("Local copy of chunk at byte " << chunk.offset << " of " << file.path
                                                            << " changed; fetching it");
        }
        receiver.add(chunk);
    }

    bool refused = false;
    for (std::size_t mirror = 0; mirror < fileUrls.size(); ++mirror)
    {
        result.fetch = m_ranges.fetch(fileUrls[mirror], receiver, refused);
        if (result.fetch.ok() || refused || receiver.mismatch() ||
            !result.fetch.worthAnotherMirror() || mirror + 1 == fileUrls.size())
        {
            break;
        }
        PELVANE_LOG_WARN("Mirror " << fileUrls[mirror] << " failed for ranges of " << file.path
                                   << " (" << apiErrorName(result.fetch.apiError) << ", curl "
                                   << result.fetch.primary << ", HTTP " << result.fetch.secondary
                                   << "), trying " << fileUrls[mirror + 1]);
    }
    result.networkBytes = receiver.networkBytes();
    if (receiver.mismatch())
    {
        safefiles::removeTree(assembly);
        return fetchWhole("the server's bytes at " + std::to_string(receiver.mismatchAt()) +
                          " do not match the chunk index");
    }
    if (refused)
    {
        safefiles::removeTree(assembly);
        return fetchWhole("the server does not serve byte ranges");
    }
    if (!result.fetch.ok())
    {
        // kept: the next run takes the chunks that arrived from here
        return result;
    }
    for (const std::size_t i : repeats)
    {
        const Chunk& chunk = index.chunks()[i];
        if (!ChunkSources::readVerified(*plan.local[i], chunk.sha256, buffer))
        {
            safefiles::removeTree(assembly);
            return fetchWhole("a repeated chunk at " + std::to_string(chunk.offset) +
                              " does not verify");
        }
        if ((error = writeAt(out.get(), buffer.data(), buffer.size(), chunk.offset)) != 0)
        {
            result.fetch = failure(FetchResult::Kind::Permanent, API_DISK, error);
            return result;
        }
        result.localBytes += chunk.length;
    }
    if (!out.close())
    {
        result.fetch = failure(FetchResult::Kind::Permanent, API_DISK, errno);
        return result;
    }
    Sha256 whole;
    if (!hashFilePrefix(assembly, file.size, whole, &m_cancel.flag(), error))
    {
        result.fetch = m_cancel.canceled() ? failure(FetchResult::Kind::Canceled, API_CANCELED, 0)
                                           : failure(FetchResult::Kind::Permanent, API_DISK, error);
        return result;
    }
    if (!digestsEqual(file.sha256, whole.finishHex()))
    {
        safefiles::removeTree(assembly);
        return fetchWhole("the assembled file does not match its SHA-256");
    }
    if (platform::SystemCalls::rename(assembly, finalPath) != 0)
    {
        result.fetch = failure(FetchResult::Kind::Permanent, API_DISK, errno);
        return result;
    }
    PELVANE_LOG_INFO("Assembled " << file.path << ": " << result.localBytes << " bytes reused, "
                                  << result.networkBytes << " fetched");
    return result;
}
} // namespace pelvane

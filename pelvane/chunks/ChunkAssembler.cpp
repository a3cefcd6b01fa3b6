#include "pelvane/chunks/ChunkAssembler.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/ObjectDecoder.h"
#include "pelvane/files/ExtractLayout.h"
#include "pelvane/net/MirrorWalk.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>

namespace pelvane
{
namespace
{
constexpr int CHUNK_MISMATCH = EBADMSG;

int writeAt(int fd, const unsigned char* data, std::size_t size, std::uint64_t offset)
{
    return platform::SystemCalls::writeAllAt(fd, data, size, offset) == 0 ? 0 : errno;
}

// The chunks still to come from the server, each hashed as its bytes arrive
// in order; bytes for anything else are dropped. From a framed object the
// ranges are the chunks' frames: each frame is gathered (at most
// ChunkIndex::MAX_FRAME_BYTES), decoded alone into exactly its chunk, and
// the chunk checked and written.
class ChunkReceiver : public RangeSink
{
public:
    struct Pending
    {
        const Chunk* chunk = nullptr;
        std::uint64_t received = 0;
        std::unique_ptr<Sha256> digest = std::make_unique<Sha256>();
        std::string frame; // a framed chunk's compressed bytes so far
        std::uint64_t first() const { return framed ? chunk->compressedOffset : chunk->offset; }
        std::uint64_t length() const { return framed ? chunk->compressedLength : chunk->length; }
        bool framed = false;
    };

    ChunkReceiver(int fd, const ChunkAssembler::Progress& progress, bool framed)
        : m_fd(fd), m_progress(progress), m_framed(framed)
    {
    }

    void add(const Chunk& chunk)
    {
        Pending pending;
        pending.chunk = &chunk;
        pending.framed = m_framed;
        m_pending.push_back(std::move(pending));
    }
    bool empty() const { return m_pending.empty(); }

    int accept(std::uint64_t offset, const char* data, std::size_t size) override
    {
        return splitAmongRuns(m_pending, offset, data, size,
                              [this](Pending& pending, std::uint64_t inChunk, const char* bytes,
                                     std::size_t count)
                              {
                                  const bool next = inChunk == pending.received &&
                                                    pending.received < pending.length();
                                  return next ? takeBytes(pending, bytes, count,
                                                          pending.first() + inChunk)
                                              : 0;
                              });
    }

    std::vector<ByteRange> missing() const override
    {
        std::vector<ByteRange> ranges;
        for (const Pending& p : m_pending)
        {
            if (p.received < p.length())
            {
                ranges.push_back({p.first() + p.received, p.first() + p.length() - 1});
            }
        }
        return FetchPlanner::merge(std::move(ranges));
    }

    std::uint64_t usedBytes() const override { return m_networkBytes; }
    std::uint64_t networkBytes() const { return m_networkBytes; }
    bool mismatch() const { return m_mismatchAt != UINT64_MAX; }
    std::uint64_t mismatchAt() const { return m_mismatchAt; }

private:
    int takeBytes(Pending& pending, const char* data, std::size_t take, std::uint64_t offset)
    {
        const Chunk& chunk = *pending.chunk;
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        pending.received += take;
        m_networkBytes += take;
        m_progress(m_networkBytes);
        if (!pending.framed)
        {
            if (const int error = writeAt(m_fd, bytes, take, offset))
            {
                return error;
            }
            pending.digest->update(bytes, take);
        }
        else
        {
            pending.frame.append(data, take);
            if (pending.received < pending.length())
            {
                return 0;
            }
            std::vector<unsigned char> decoded(chunk.length);
            const deltas::CodecStatus status = deltas::decompressChunk(
                pending.frame.data(), pending.frame.size(), decoded.data(), decoded.size());
            std::string().swap(pending.frame);
            if (!status.ok())
            {
                m_mismatchAt = chunk.offset;
                return CHUNK_MISMATCH;
            }
            if (const int error = writeAt(m_fd, decoded.data(), decoded.size(), chunk.offset))
            {
                return error;
            }
            pending.digest->update(decoded.data(), decoded.size());
        }
        if (pending.received == pending.length() &&
            !digestsEqual(chunk.sha256, pending.digest->finishHex()))
        {
            m_mismatchAt = chunk.offset;
            return CHUNK_MISMATCH;
        }
        return 0;
    }

    int m_fd;
    const ChunkAssembler::Progress& m_progress;
    bool m_framed;
    std::vector<Pending> m_pending; // ascending by offset
    std::uint64_t m_networkBytes = 0;
    std::uint64_t m_mismatchAt = UINT64_MAX;
};

// The assembly at the file's full size, each chunk to go in at its offset.
Outcome openAssembly(const ExtractLayout& layout, const ManifestFile& file, int& fd)
{
    if (const int error = layout.makeFoldersFor(file.path))
    {
        return Outcome::disk(error);
    }
    platform::FileDescriptor out(
        platform::SystemCalls::open(layout.assemblyPath(file.path),
                                    platform::SystemCalls::OpenMode::WriteCreateNoFollow, 0644));
    if (!out.valid())
    {
        return Outcome::disk(errno);
    }
    if (platform::SystemCalls::truncate(out.get(), file.size) != 0)
    {
        return Outcome::disk(errno);
    }
    fd = out.release();
    return {};
}

// Local chunks first: each one is read back and checked before it is used.
// A chunk whose local copy no longer verifies goes to the receiver; one that
// repeats a chunk this file fetches itself waits in `repeats`.
Outcome placeLocalChunks(const std::string& assembly, int fd, const ManifestFile& file,
                         const ChunkIndex& index, const ChunkPlan& plan, const CancelToken& cancel,
                         ChunkReceiver& receiver, std::vector<std::size_t>& repeats,
                         std::uint64_t& localBytes)
{
    std::vector<unsigned char> buffer;
    for (std::size_t i = 0; i < index.chunks().size(); ++i)
    {
        if (cancel.canceled())
        {
            return Outcome::canceled();
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
            if (!inPlace)
            {
                if (const int error = writeAt(fd, buffer.data(), buffer.size(), chunk.offset))
                {
                    return Outcome::disk(error);
                }
            }
            localBytes += chunk.length;
            continue;
        }
        if (local)
        {
            PELVANE_LOG_INFO("Local copy of chunk at byte " << chunk.offset << " of " << file.path
                                                            << " changed; fetching it");
        }
        receiver.add(chunk);
    }
    return {};
}

// Copies the chunks that the file holds more than once from where their
// first copy arrived; `unverified` names the first that does not check out.
Outcome placeRepeats(int fd, const ChunkIndex& index, const ChunkPlan& plan,
                     const std::vector<std::size_t>& repeats, std::uint64_t& localBytes,
                     std::string& unverified)
{
    std::vector<unsigned char> buffer;
    for (const std::size_t i : repeats)
    {
        const Chunk& chunk = index.chunks()[i];
        if (!ChunkSources::readVerified(*plan.local[i], chunk.sha256, buffer))
        {
            unverified = "a repeated chunk at " + std::to_string(chunk.offset) + " does not verify";
            return {};
        }
        if (const int error = writeAt(fd, buffer.data(), buffer.size(), chunk.offset))
        {
            return Outcome::disk(error);
        }
        localBytes += chunk.length;
    }
    return {};
}
} // namespace

ChunkAssembler::ChunkAssembler(RangeFetcher& ranges, const CancelToken& cancel)
    : m_ranges(ranges), m_cancel(cancel)
{
}

std::string ChunkAssembler::assemblyPath(const std::string& versionFolder, const std::string& path)
{
    return ExtractLayout(versionFolder).assemblyPath(path);
}

Outcome ChunkAssembler::fetchMissing(const std::vector<std::string>& fileUrls,
                                     const ManifestFile& file, RangeSink& receiver, bool& refused)
{
    refused = false;
    MirrorWalk walk(fileUrls.size(), MirrorWalk::MoveOn::CurableFailure);
    return walk.run(
        // a chunk of other bytes fails the request as a disk error: no mirror cures that
        [&](std::size_t mirror) -> Outcome
        { return m_ranges.fetch(fileUrls[mirror], receiver, refused); },
        [&](std::size_t mirror, const Outcome& failure)
        {
            PELVANE_LOG_WARN("Mirror " << fileUrls[mirror] << " failed for ranges of " << file.path
                                       << " (" << apiErrorName(failure.apiError) << ", curl "
                                       << failure.primary << ", HTTP " << failure.secondary
                                       << "), trying " << fileUrls[mirror + 1]);
        });
}

Outcome ChunkAssembler::verifyAndPlace(platform::FileDescriptor& out, const std::string& assembly,
                                       const std::string& finalPath, const ManifestFile& file,
                                       bool& mismatch)
{
    mismatch = false;
    if (!out.close())
    {
        return Outcome::disk(errno);
    }
    Sha256 whole;
    int error = 0;
    if (!hashFilePrefix(assembly, file.size, whole, &m_cancel.flag(), error))
    {
        return m_cancel.canceled() ? Outcome::canceled() : Outcome::disk(error);
    }
    if (!digestsEqual(file.sha256, whole.finishHex()))
    {
        mismatch = true;
        return {};
    }
    if (platform::SystemCalls::rename(assembly, finalPath) != 0)
    {
        return Outcome::disk(errno);
    }
    return {};
}

ChunkAssembler::Result ChunkAssembler::assemble(const std::vector<std::string>& fileUrls,
                                                const std::string& versionFolder,
                                                const ManifestFile& file, const ChunkIndex& index,
                                                const ChunkPlan& plan, const Progress& progress,
                                                bool framed)
{
    Result result;
    const ExtractLayout layout(versionFolder);
    const std::string assembly = layout.assemblyPath(file.path);
    const auto fetchWhole = [&result, &assembly](std::string reason, bool removeAssembly = true)
    {
        if (removeAssembly)
        {
            safefiles::removeTree(assembly);
        }
        result.fetchWhole = true;
        result.reason = std::move(reason);
        return result;
    };
    if (m_ranges.rangesRefused())
    {
        return fetchWhole("the server does not serve byte ranges", false);
    }
    int fd = -1;
    if (result.fetch = openAssembly(layout, file, fd); !result.fetch.ok())
    {
        return result;
    }
    platform::FileDescriptor out(fd);
    ChunkReceiver receiver(out.get(), progress, framed);
    std::vector<std::size_t> repeats; // copies of chunks this file fetches first
    result.fetch = placeLocalChunks(assembly, out.get(), file, index, plan, m_cancel, receiver,
                                    repeats, result.localBytes);
    if (!result.fetch.ok())
    {
        return result;
    }
    bool refused = false;
    result.fetch = fetchMissing(fileUrls, file, receiver, refused);
    result.networkBytes = receiver.networkBytes();
    if (receiver.mismatch())
    {
        return fetchWhole("the server's bytes at " + std::to_string(receiver.mismatchAt()) +
                          " do not match the chunk index");
    }
    if (refused)
    {
        return fetchWhole("the server does not serve byte ranges");
    }
    if (!result.fetch.ok())
    {
        return result; // kept: the next run takes the chunks that arrived from here
    }
    std::string unverified;
    result.fetch = placeRepeats(out.get(), index, plan, repeats, result.localBytes, unverified);
    if (!unverified.empty())
    {
        return fetchWhole(unverified);
    }
    bool mismatch = false;
    if (result.fetch.ok())
    {
        result.fetch =
            verifyAndPlace(out, assembly, layout.verifiedPath(file.path), file, mismatch);
    }
    if (mismatch)
    {
        return fetchWhole("the assembled file does not match its SHA-256");
    }
    if (result.fetch.ok())
    {
        PELVANE_LOG_INFO("Assembled " << file.path << ": " << result.localBytes << " bytes reused, "
                                      << result.networkBytes << " fetched");
    }
    return result;
}
} // namespace pelvane

#include "pelvane/session/BundlePieces.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/net/MirrorWalk.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace pelvane
{
namespace
{
using platform::SystemCalls;

// The pieces of one fetch, ascending by bundle offset, each hashed as its
// bytes arrive in order; bytes of gaps and of anything else are dropped.
class PieceReceiver : public RangeSink
{
public:
    struct Pending
    {
        BundlePieces::Piece piece;
        std::uint64_t at = 0; // in the file
        std::uint64_t received = 0;
        std::unique_ptr<Sha256> digest = std::make_unique<Sha256>();
        bool failed = false; // arrived with other bytes from this mirror
        bool done = false;
        std::uint64_t first() const { return piece.offset; }
        std::uint64_t length() const { return piece.size; }
    };

    using Verified = std::function<void(const Pending&)>;
    PieceReceiver(int fd, std::vector<Pending>& pending, const BundlePieces::Progress& progress,
                  const Verified& verified, std::uint64_t& bytes)
        : m_fd(fd), m_pending(pending), m_progress(progress), m_verified(verified), m_bytes(bytes)
    {
    }

    int accept(std::uint64_t offset, const char* data, std::size_t size) override
    {
        return splitAmongRuns(m_pending, offset, data, size,
                              [this](Pending& p, std::uint64_t inPiece, const char* bytes,
                                     std::size_t count)
                              {
                                  return inPiece == p.received && !p.done && !p.failed
                                             ? take(p, inPiece, bytes, count)
                                             : 0;
                              });
    }

    std::vector<ByteRange> missing() const override
    {
        std::vector<ByteRange> ranges;
        for (const Pending& p : m_pending)
        {
            if (p.done || p.failed)
            {
                continue;
            }
            const ByteRange next{p.piece.offset + p.received, p.piece.offset + p.piece.size - 1};
            if (!ranges.empty() && next.first <= ranges.back().last + 1 + BundlePieces::MERGE_GAP_BYTES)
            {
                ranges.back().last = next.last;
            }
            else
            {
                ranges.push_back(next);
            }
        }
        return ranges;
    }

    std::uint64_t usedBytes() const override { return m_used; }

private:
    int take(Pending& p, std::uint64_t inPiece, const char* data, std::size_t count)
    {
        if (SystemCalls::writeAllAt(m_fd, data, count, p.at + inPiece) != 0)
        {
            return errno;
        }
        p.digest->update(data, count);
        p.received += count;
        m_used += count;
        m_bytes += count;
        m_progress(m_bytes);
        if (p.received == p.piece.size)
        {
            p.done = digestsEqual(p.piece.sha256, p.digest->finishHex());
            p.failed = !p.done;
            if (p.done)
            {
                m_verified(p);
            }
        }
        return 0;
    }

    int m_fd;
    std::vector<Pending>& m_pending;
    const BundlePieces::Progress& m_progress;
    const Verified& m_verified;
    std::uint64_t& m_bytes;
    std::uint64_t m_used = 0;
};
} // namespace

BundlePieces::BundlePieces(std::string file) : m_file(std::move(file)) {}

std::string BundlePieces::key(const Piece& piece)
{
    return std::to_string(piece.offset) + ":" + std::to_string(piece.size) + ":" + piece.sha256;
}

bool BundlePieces::held(const Piece& piece) const
{
    const std::lock_guard<std::mutex> lock(m_slotsLock);
    const auto found = m_slots.find(key(piece));
    return found != m_slots.end() && found->second.verified;
}

void BundlePieces::markHeld(const Piece& piece, bool verified)
{
    const std::lock_guard<std::mutex> lock(m_slotsLock);
    m_slots[key(piece)].verified = verified;
}

bool BundlePieces::copy(const Piece& piece, std::vector<unsigned char>& bytes) const
{
    bytes.clear();
    std::uint64_t at = 0;
    {
        const std::lock_guard<std::mutex> lock(m_slotsLock);
        const auto found = m_slots.find(key(piece));
        if (found == m_slots.end() || !found->second.verified)
        {
            return false;
        }
        at = found->second.at;
    }
    // read, not mapped: the file grows while pieces are read from it
    platform::FileDescriptor in(SystemCalls::open(m_file, SystemCalls::OpenMode::ReadNoFollow));
    if (!in.valid())
    {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(piece.size));
    if (SystemCalls::readAllAt(in.get(), bytes.data(), bytes.size(), at) != 0)
    {
        bytes.clear();
        return false;
    }
    return true;
}

Outcome BundlePieces::fetch(RangeFetcher& ranges, const std::vector<std::string>& urls,
                            const std::vector<Piece>& pieces, const Progress& progress,
                            const Held& held)
{
    std::vector<PieceReceiver::Pending> pending;
    std::vector<Piece> wanted = pieces;
    std::sort(wanted.begin(), wanted.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    std::uint64_t end = 0;
    for (const Piece& piece : wanted)
    {
        // empty, repeated or overlapping pieces are never asked for
        const std::lock_guard<std::mutex> lock(m_slotsLock);
        if (piece.size == 0 || piece.offset < end || m_slots.count(key(piece)) != 0)
        {
            continue;
        }
        end = piece.offset + piece.size;
        pending.push_back({piece, m_end});
        m_slots[key(piece)] = Slot{m_end, false};
        m_end += piece.size;
    }
    if (pending.empty())
    {
        return {};
    }
    if (!m_started)
    {
        // a file of an earlier run holds pieces of unknown worth
        safefiles::removeTree(m_file);
        m_started = true;
    }
    platform::FileDescriptor out(SystemCalls::open(m_file, SystemCalls::OpenMode::WriteCreateNoFollow, 0644));
    if (!out.valid())
    {
        return Outcome::disk(errno);
    }
    std::uint64_t bytes = 0;
    const PieceReceiver::Verified verified = [&](const PieceReceiver::Pending& p)
    {
        markHeld(p.piece, true);
        if (held)
        {
            held();
        }
    };
    PieceReceiver receiver(out.get(), pending, progress, verified, bytes);
    for (std::size_t mirror = 0; mirror < urls.size() && !receiver.missing().empty(); ++mirror)
    {
        bool refused = false;
        const FetchResult result = ranges.fetch(urls[mirror], receiver, refused);
        if (result.is(API_CANCELED) || result.is(API_DISK))
        {
            return result;
        }
        std::size_t failed = 0;
        for (PieceReceiver::Pending& p : pending)
        {
            if (p.failed || (!p.done && mirror + 1 < urls.size()))
            {
                // another mirror may serve the right bytes
                failed += p.failed ? 1 : 0;
                p.failed = false;
                p.received = 0;
                p.digest = std::make_unique<Sha256>();
            }
        }
        if (failed > 0 || !result.ok() || refused)
        {
            PELVANE_LOG_WARN("Mirror " << urls[mirror] << " failed for pieces of the bundle ("
                                       << failed << " did not verify, HTTP " << result.secondary
                                       << ", curl " << result.primary
                                       << (refused ? ", no ranges" : "") << ")");
        }
    }
    for (const PieceReceiver::Pending& p : pending)
    {
        markHeld(p.piece, p.done);
    }
    if (!out.close())
    {
        return Outcome::disk(errno);
    }
    return {};
}
} // namespace pelvane

#include "publisher/DeltaCache.h"

#include "pelvane/base/HexText.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/base/XdgFolder.h"

#include <cerrno>
#include <span>

namespace publisher
{
namespace
{
constexpr std::string_view MAGIC = "QORDLTC1";
constexpr std::size_t HEADER = 8 + 32;
// a cached blob is never larger than the file it rebuilds plus its framing
constexpr std::uint64_t SLACK = 1U << 20;
} // namespace

std::string DeltaCache::defaultFolder()
{
    const std::string cache = pelvane::xdgFolder("XDG_CACHE_HOME", ".cache");
    return cache.empty() ? cache : cache + "/qor-publish";
}

DeltaCache::Pair::Pair(DeltaCache& cache, std::string sourceSha256, std::string targetSha256,
                       std::uint64_t sourceSize, std::uint64_t targetSize)
    : m_cache(cache), m_source(std::move(sourceSha256)), m_target(std::move(targetSha256)),
      m_sourceSize(sourceSize), m_targetSize(targetSize)
{
}

std::string DeltaCache::Pair::entryPath(pelvane::deltas::DeltaMethod method) const
{
    return m_cache.m_folder + "/deltas/" + m_source.substr(0, 2) + "/" + m_source + "-" +
           m_target + "." + std::to_string(static_cast<int>(method));
}

bool DeltaCache::Pair::find(pelvane::deltas::DeltaMethod method, std::string& delta)
{
    if (m_cache.m_folder.empty())
    {
        return false;
    }
    std::string bytes;
    const int error = pelvane::safefiles::readSmallFile(
        entryPath(method), bytes, static_cast<std::size_t>(HEADER + m_targetSize * 2 + SLACK));
    if (error == ENOENT)
    {
        return false;
    }
    pelvane::deltas::DeltaHeader header;
    const std::string_view blob = std::string_view(bytes).substr(std::min(bytes.size(), HEADER));
    const std::span<const unsigned char> view(reinterpret_cast<const unsigned char*>(blob.data()),
                                              blob.size());
    if (error != 0 || bytes.size() <= HEADER || bytes.compare(0, MAGIC.size(), MAGIC) != 0 ||
        pelvane::sha256Hex(blob) != pelvane::toHex(std::string_view(bytes).substr(8, 32)) ||
        !pelvane::deltas::readDeltaHeader(view, header) || header.method != method ||
        header.sourceSize != m_sourceSize || header.targetSize != m_targetSize)
    {
        ++m_cache.m_damaged;
        return false;
    }
    delta.assign(blob);
    ++m_cache.m_hits;
    return true;
}

void DeltaCache::Pair::keep(pelvane::deltas::DeltaMethod method, const std::string& delta)
{
    ++m_cache.m_made;
    if (m_cache.m_folder.empty())
    {
        return;
    }
    const std::string path = entryPath(method);
    std::string digest;
    pelvane::fromHex(pelvane::sha256Hex(delta), digest);
    std::string bytes(MAGIC);
    bytes += digest;
    bytes += delta;
    // no flush: an entry a crash cuts fails its hash and is made again
    if (pelvane::safefiles::makeFolderPath(path.substr(0, path.rfind('/')), 0700) != 0 ||
        pelvane::safefiles::writeFileAtomically(path, bytes, 0600, false) != 0)
    {
        ++m_cache.m_unwritable;
    }
}
} // namespace publisher

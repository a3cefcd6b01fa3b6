// The publisher's cache of delta blobs, outside the served tree, so that
// republishing a version (or publishing it again into a rebuilt
// repository) never makes a delta twice. One file per (source SHA-256,
// target SHA-256, method):
//
//   <folder>/deltas/<first 2 hex of source>/<source>-<target>.<method>
//   = "QORDLTC1" | SHA-256 of the blob (32 raw bytes) | the blob
//
// written to a temporary file and renamed. An entry whose hash, method or
// sizes do not hold (cut by a crash, damaged on disk) counts as absent: the
// delta is made again and the entry rewritten. Blobs that lost to another
// method or to the compressed object are kept too, so that a second run
// knows the answer without making them.
#pragma once

#include "pelvane/deltas/DeltaCodec.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace publisher
{
class DeltaCache
{
public:
    // folder empty: nothing is cached
    explicit DeltaCache(std::string folder) : m_folder(std::move(folder)) {}
    // $XDG_CACHE_HOME/qor-publish, else ~/.cache/qor-publish; empty without either.
    static std::string defaultFolder();

    // The store a chooser uses for one pair of files.
    class Pair : public pelvane::deltas::DeltaStore
    {
    public:
        Pair(DeltaCache& cache, std::string sourceSha256, std::string targetSha256,
             std::uint64_t sourceSize, std::uint64_t targetSize);
        bool find(pelvane::deltas::DeltaMethod method, std::string& delta) override;
        void keep(pelvane::deltas::DeltaMethod method, const std::string& delta) override;

    private:
        std::string entryPath(pelvane::deltas::DeltaMethod method) const;

        DeltaCache& m_cache;
        std::string m_source;
        std::string m_target;
        std::uint64_t m_sourceSize;
        std::uint64_t m_targetSize;
    };

    const std::string& folder() const { return m_folder; }
    std::uint64_t hits() const { return m_hits; }
    std::uint64_t made() const { return m_made; }
    std::uint64_t damaged() const { return m_damaged; }
    std::uint64_t unwritable() const { return m_unwritable; }

private:
    std::string m_folder;
    std::atomic<std::uint64_t> m_hits{0};
    std::atomic<std::uint64_t> m_made{0};
    std::atomic<std::uint64_t> m_damaged{0};
    std::atomic<std::uint64_t> m_unwritable{0};
};
} // namespace publisher

// Builds one version's objects in its incoming folder, from the release
// folder and the versions published before it:
//
//   files/<path>   each file as it is, hashed, chunked
//   cidx/<path>    its chunk index (with each chunk's compressed length
//                  when the file has a framed object)
//   zst/<path>     the compressed object of a large file: one long-window
//                  zstd frame, for whole downloads
//   zsf/<path>     the same file as one zstd frame per chunk, so that a
//                  range of it is a range of compressed chunks
//   bundle         the delta sections (one per source version, newest
//                  source first), then the compressed objects of the
//                  small files (one frame each), in list order
//
// Files are compressed, and deltas made, in parallel (one worker per
// core, one queue of tasks, the largest files' first). A delta is made for
// every file that changed from the same path in each source version (a
// version without that path: from its most likely related file, the same
// name elsewhere or the same name stem, as a client looks for it), with the
// better of the methods, and kept only when smaller than the file's
// compressed object (or the file, when it does not shrink). A source the same bytes as a newer source's (the file did not
// change between them) is diffed once, in the newer one's section: a
// client finds a delta by its source's SHA-256, whatever the section.
#pragma once

#include "pelvane/trust/Manifest.h"
#include "publisher/DeltaCache.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace publisher
{
// A compressed object of at least this many bytes goes to zst/<path>, a
// smaller one into the bundle.
inline constexpr std::uint64_t LARGE_OBJECT_BYTES = 1U << 20;
// A file under this size that does not shrink goes into the bundle all the
// same, its frame stored (a few bytes over the file): a request of its own
// would cost a few hundred bytes of headers and a round trip, more than its
// bytes take on a link of 50 Mbit/s and 40 ms. Above it the request's cost
// is small beside the file's, which is served as it is.
inline constexpr std::uint64_t STORED_OBJECT_BYTES = 64U << 10;
// The framed twin's level: it serves only ranges of chunks, and its frames
// are each a chunk long, where the higher levels find little more.
// Measured on a 175 MiB browser library: level 19 costs 84 CPU s, level 9
// 5 s but 8 % more bytes, which clients fetching chunks would pay.
inline constexpr int FRAMED_LEVEL = 19;
// Above this source size only patch-from deltas are made: on a 175 MiB
// browser library the suffix delta took 646 CPU s and 1.7 GiB for 59 MB,
// patch-from 225 s for 48 MB. Below it the suffix delta can win by far: a
// JVM's 123 MiB module image, 25 CPU s and 836 MiB for 0.9 MB against
// patch-from's 1.4 MB.
inline constexpr std::uint64_t SUFFIX_SOURCE_LIMIT = 128U << 20;

// An earlier version whose files deltas start from, with its list already
// judged against channel.qor.
struct SourceVersion
{
    pelvane::VersionNumber number;
    std::string folder;
    pelvane::ManifestVersion listed;
};

class VersionBuilder
{
public:
    VersionBuilder(std::string releaseFolder, std::string incoming, DeltaCache& cache,
                   std::ostream& output, std::ostream& errors)
        : m_release(std::move(releaseFolder)), m_incoming(std::move(incoming)), m_cache(cache),
          m_output(output), m_errors(errors)
    {
    }

    // Fills version.files (in the order of paths), bundleSize and deltas.
    // Empty on success, else what failed.
    std::string build(const std::vector<std::string>& paths,
                      const std::vector<SourceVersion>& sources, pelvane::ManifestVersion& version);

private:
    struct FileWork;
    std::string copyFile(const std::string& path, FileWork& work);
    std::string makeObjectsAndDeltas(const std::vector<SourceVersion>& sources,
                                     std::vector<FileWork>& work);
    std::string placeObjects(FileWork& work);
    std::string writeBundle(const std::vector<SourceVersion>& sources,
                            std::vector<FileWork>& work, pelvane::ManifestVersion& version);

    std::string m_release;
    std::string m_incoming;
    DeltaCache& m_cache;
    std::ostream& m_output;
    std::ostream& m_errors;
};
} // namespace publisher

// What the signed chain says about one version once its file list is in:
// every file with its size and SHA-256 and the objects generated from it
// (chunk index, compressed object, its place in the bundle), and the
// version's delta sections. Shared by the library (which reads them from
// <version>/list.json.zst, see FileList) and qor-publish (which writes them).
// Every reference here is covered by the publisher's signature through the
// list's hash in channel.qor (see ChannelManifest).
#pragma once

#include "pelvane/trust/VersionNumber.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelvane
{
// An object of the repository known by its size and SHA-256.
struct ObjectRef
{
    std::uint64_t size = 0;
    std::string sha256; // 64 lowercase hex digits
};

// The file's chunk index, published as <version>/cidx/<path>.
using ChunkIndexRef = ObjectRef;

// A piece of <version>/bundle.
struct BundleRef
{
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string sha256;
};

// One delta section of the bundle: the deltas from version `from` to this one.
struct DeltaRef
{
    VersionNumber from;
    std::uint64_t offset = 0; // in the bundle
    std::uint64_t size = 0;   // the whole section, index included
    ObjectRef index;          // the section's delta index, at `offset`
};

struct ManifestFile
{
    static constexpr std::uint64_t MAX_SIZE = 1ULL << 40;

    std::string path; // relative, '/'-separated, checked by isSafeRelativePath
    std::uint64_t size = 0;
    std::string sha256; // 64 lowercase hex digits
    std::optional<ChunkIndexRef> chunks = std::nullopt;
    // At most one of the two: the compressed object at <version>/zst/<path>,
    // or the same kind of object inside the bundle.
    std::optional<ObjectRef> compressed = std::nullopt;
    std::optional<BundleRef> bundled = std::nullopt;
    // Beside a large file's compressed object: the file as one zstd frame
    // per chunk of its index, at <version>/zsf/<path>, so that a range of it
    // is a range of compressed chunks (the index gives their lengths).
    std::optional<ObjectRef> framed = std::nullopt;
};

struct ManifestVersion
{
    VersionNumber number;
    std::string notes;
    bool complete = false; // the files are the whole release tree
    std::vector<ManifestFile> files;
    std::optional<std::uint64_t> bundleSize = std::nullopt;
    std::vector<DeltaRef> deltas;

    std::uint64_t totalSize() const
    {
        std::uint64_t total = 0;
        for (const ManifestFile& file : files)
        {
            total += file.size;
        }
        return total;
    }
};
} // namespace pelvane

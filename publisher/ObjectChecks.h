// What `qor-publish verify` proves of a version's generated objects beyond
// their sizes and hashes: each compressed object decodes to its file, a
// framed object's frames decode one by one to the chunks of the file's
// index, and every delta section holds the index its list names and deltas
// that rebuild their files from their sources. Each answers empty when the
// object is sound, else what is wrong.
#pragma once

#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/trust/Manifest.h"

#include <map>
#include <span>
#include <string>
#include <vector>

namespace publisher::objectchecks
{
using Bytes = std::span<const unsigned char>;

std::string decodesToFile(Bytes object, const pelvane::ManifestFile& file);

// Every frame alone to its chunk; the frames fill the object exactly.
std::string framesMatchChunks(Bytes object, const pelvane::ChunkIndex& index);

// The files of a version the deltas start from.
struct DeltaSource
{
    std::string folder; // the version's folder
    pelvane::ManifestVersion listed;
};

// One delta section of `bundle` (deltas from `delta.from`) against the
// version's files. A source version no longer in the repository leaves
// the deltas checked by their hashes only; `applied` counts the others.
std::vector<std::string> checkDeltaSection(Bytes bundle, const pelvane::DeltaRef& delta,
                                           const std::vector<pelvane::ManifestFile>& files,
                                           const std::map<std::string, DeltaSource>& sources,
                                           std::size_t& applied);
} // namespace publisher::objectchecks

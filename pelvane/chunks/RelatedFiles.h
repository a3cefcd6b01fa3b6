// The files most likely to hold much of a file that has no file at its own
// path (renamed, moved or new): chosen by name and size, never by reading
// them, so that what is read beyond the same path stays small. The run
// chunks them and hashes them for delta sources; the publisher takes the
// first as the source of a delta. Most likely first:
//   1. the same file name elsewhere (a moved folder),
//   2. the same name stem: the name up to its first '.', without trailing
//      digits and separators (libfoo.so.1.2 -> libfoo.so.1.3, tool-2.1 ->
//      tool-2.2),
//   3. when the run brings the whole tree, a local path it no longer has
//      (a rename to another name) of about the same size.
// Within each rank the closest size comes first. A file under `smallest`
// (for chunks: one chunk), or far from the wanted size, cannot hold much of
// it and is left out.
#pragma once

#include "pelvane/chunks/ContentChunker.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pelvane
{
struct LocalFile
{
    std::string relative; // as in the file lists
    std::string full;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

class RelatedFiles
{
public:
    // At most this many files are chunked for one wanted file.
    static constexpr std::size_t MAX_PER_FILE = 4;
    // By name: sizes within this factor of the wanted one; by removal alone
    // (no name in common), within REMOVED_SIZE_RATIO.
    static constexpr double NAME_SIZE_RATIO = 4.0;
    static constexpr double REMOVED_SIZE_RATIO = 1.5;

    // `files`: what Target and the base store hold (a file reached by two
    // paths counts once); `kept`: the paths the run brings; `wholeTree`: the
    // run brings the whole new tree, so a local path not kept is gone.
    RelatedFiles(const std::vector<LocalFile>& files, const std::unordered_set<std::string>& kept,
                 bool wholeTree);

    // The files of at least `smallest` bytes for a wanted file at `path` of
    // `size` bytes, most likely first.
    std::vector<const LocalFile*> candidates(const std::string& path, std::uint64_t size,
                                             std::uint64_t smallest = ContentChunker::MIN_SIZE) const;

    static std::string_view fileName(std::string_view path);
    // Empty when the name has none (".config", "2.0.bin").
    static std::string_view stem(std::string_view name);

private:
    std::vector<LocalFile> m_files;
    std::unordered_map<std::string, std::vector<std::size_t>> m_byName;
    std::unordered_map<std::string, std::vector<std::size_t>> m_byStem;
    std::vector<std::size_t> m_removedBySize; // ascending size
};
} // namespace pelvane

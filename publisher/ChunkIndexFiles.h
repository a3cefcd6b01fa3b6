// The chunk index files of a published version: <version>/cidx/<path> for
// each file. Writes them while a file is copied in, and checks one against
// its file and its file list entry (for a verify command).
#pragma once

#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/chunks/ContentChunker.h"
#include "pelvane/trust/Manifest.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace publisher
{
class ChunkIndexFiles
{
public:
    // Chunks the bytes it is fed; finish() gives the index (for the frames
    // of the compressed object), write() then stores it and fills the file
    // list entry's reference.
    class Builder
    {
    public:
        Builder();
        void update(const char* data, std::size_t size);
        pelvane::ChunkIndex& finish();
        bool write(const std::filesystem::path& indexPath, pelvane::ManifestFile& file);

    private:
        pelvane::ChunkIndex m_index;
        std::unique_ptr<pelvane::ContentChunker> m_chunker;
        bool m_finished = false;
    };

    // Empty when the index of `file` in `versionFolder` matches its file
    // list reference and the file itself (and `parsed` holds it); otherwise
    // what is wrong.
    static std::string check(const std::filesystem::path& versionFolder,
                             const pelvane::ManifestFile& file,
                             std::optional<pelvane::ChunkIndex>& parsed);
    static std::string check(const std::filesystem::path& versionFolder,
                             const pelvane::ManifestFile& file)
    {
        std::optional<pelvane::ChunkIndex> parsed;
        return check(versionFolder, file, parsed);
    }
};
} // namespace publisher

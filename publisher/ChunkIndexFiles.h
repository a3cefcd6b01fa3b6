// The chunk index files of a published version: <version>/cidx/<path> for
// each file. Writes them while a file is copied in, and checks one against
// its file and its file list entry (for a verify command).
#pragma once

#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/chunks/ContentChunker.h"
#include "pelvane/trust/Manifest.h"

#include <filesystem>
#include <memory>
#include <string>

namespace publisher
{
class ChunkIndexFiles
{
public:
    // Chunks the bytes it is fed; write() then stores the index and fills
    // the file list entry's reference.
    class Builder
    {
    public:
        Builder();
        void update(const char* data, std::size_t size);
        bool write(const std::filesystem::path& indexPath, pelvane::ManifestFile& file);

    private:
        pelvane::ChunkIndex m_index;
        std::unique_ptr<pelvane::ContentChunker> m_chunker;
    };

    // Empty when the index of `file` in `versionFolder` matches its file
    // list reference and the file itself; otherwise what is wrong.
    static std::string check(const std::filesystem::path& versionFolder,
                             const pelvane::ManifestFile& file);
};
} // namespace publisher

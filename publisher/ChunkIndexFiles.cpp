#include "publisher/ChunkIndexFiles.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/RepositoryLayout.h"

#include <cerrno>
#include <cstring>

namespace publisher
{
ChunkIndexFiles::Builder::Builder()
    : m_chunker(std::make_unique<pelvane::ContentChunker>(
          [this](std::uint64_t, std::uint32_t length, const std::string& sha256)
          { m_index.add(length, sha256); }))
{
}

void ChunkIndexFiles::Builder::update(const char* data, std::size_t size)
{
    m_chunker->update(reinterpret_cast<const unsigned char*>(data), size);
}

pelvane::ChunkIndex& ChunkIndexFiles::Builder::finish()
{
    if (!m_finished)
    {
        m_chunker->finish();
        m_finished = true;
    }
    return m_index;
}

bool ChunkIndexFiles::Builder::write(const std::filesystem::path& indexPath,
                                     pelvane::ManifestFile& file)
{
    finish();
    const std::string bytes = m_index.serialize();
    if (pelvane::safefiles::writeFileAtomically(indexPath.string(), bytes) != 0)
    {
        return false;
    }
    file.chunks = pelvane::ChunkIndexRef{bytes.size(), pelvane::sha256Hex(bytes)};
    return true;
}

std::string ChunkIndexFiles::check(const std::filesystem::path& versionFolder,
                                   const pelvane::ManifestFile& file,
                                   std::optional<pelvane::ChunkIndex>& parsed)
{
    parsed.reset();
    if (!file.chunks)
    {
        return file.path + ": no chunk index in the file list";
    }
    const std::filesystem::path index =
        pelvane::RepositoryLayout::chunkIndexIn(versionFolder.string(), file.path);
    std::string bytes;
    // one byte over the listed size is enough to tell that it differs
    const int error = pelvane::safefiles::readSmallFile(
        index.string(), bytes, static_cast<std::size_t>(file.chunks->size));
    if (error == ENOENT)
    {
        return file.path + ": the chunk index " + index.string() + " is missing";
    }
    if (error != 0 && error != EFBIG)
    {
        return file.path + ": cannot read " + index.string() + ": " + std::strerror(error);
    }
    if (error == EFBIG || bytes.size() != file.chunks->size ||
        pelvane::sha256Hex(bytes) != file.chunks->sha256)
    {
        return file.path + ": the chunk index does not match its file list entry";
    }
    std::string problem;
    auto read = pelvane::ChunkIndex::parse(bytes, problem);
    if (!read)
    {
        return file.path + ": " + problem;
    }
    problem = pelvane::ChunkIndex::checkAgainstFile(
        *read, pelvane::RepositoryLayout::fileIn(versionFolder.string(), file.path));
    if (!problem.empty())
    {
        return file.path + ": " + problem;
    }
    parsed = std::move(read);
    return {};
}
} // namespace publisher

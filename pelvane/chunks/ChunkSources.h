// Where the library can find a chunk without the network: files it chunked
// itself (Target, the base store) and files whose index it already holds
// (fetched earlier in this run). A location is a hint until its bytes are
// read back and their SHA-256 matches: files can change under us.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/chunks/ChunkIndex.h"

#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pelvane
{
class ChunkSources
{
public:
    struct Location
    {
        std::string file;
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
    };

    // Chunks the file at `path` and remembers where each of the `wanted`
    // hashes lies. A missing or unreadable file adds nothing, and so does
    // one already chunked through another link (each inode is read once).
    // False only when canceled.
    bool scanFile(const std::string& path, const std::unordered_set<std::string>& wanted,
                  const CancelToken& cancel);
    bool chunked(std::uint64_t device, std::uint64_t inode) const
    {
        return m_chunked.count({device, inode}) != 0;
    }
    // A file that will hold exactly the chunks of `index` once it is verified.
    void addIndexed(const std::string& path, const ChunkIndex& index);

    const Location* find(const std::string& sha256) const;
    std::size_t size() const { return m_locations.size(); }

    // Reads the chunk at `location` into `buffer`; true only when its SHA-256
    // is `sha256`.
    static bool readVerified(const Location& location, const std::string& sha256,
                             std::vector<unsigned char>& buffer);

private:
    std::unordered_map<std::string, Location> m_locations;
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_chunked; // device, inode
};
} // namespace pelvane

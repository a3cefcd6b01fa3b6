// The files this machine already holds, found by their SHA-256 whatever
// their path: Target and the base store. A folder walk lists them; only
// files that may matter are hashed (each inode once): those of a size some
// wanted file has, and those at a path the run brings (the likely sources
// of its deltas), on two threads; later, one by one, the listed files the
// run names (those related to a renamed file, for its delta's source). What is found is a hint: the file is
// hashed again when it is used.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/chunks/RelatedFiles.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pelvane
{
class LocalCopies
{
public:
    struct Wanted
    {
        std::unordered_set<std::uint64_t> sizes;
        std::unordered_set<std::string> paths; // relative, as in the file lists
    };

    // Walks each root (a folder whose relative paths are release paths); a
    // missing root adds nothing. False only when canceled.
    bool survey(const std::vector<std::string>& roots, const Wanted& wanted,
                const CancelToken& cancel);
    // Remembers a file that will hold `sha256` (one an earlier update brings).
    void add(const std::string& sha256, const std::string& path);
    // Hashes a listed file the survey passed over and remembers it: its
    // SHA-256, or empty when its inode was hashed already or it cannot be read.
    std::string hashListed(const LocalFile& file, const CancelToken& cancel);

    // A file that had this SHA-256 when it was surveyed, or null.
    const std::string* find(const std::string& sha256) const;
    std::size_t hashedFiles() const { return m_hashed; }

    // Every regular file the walk saw, hashed or not (chunks look there too).
    const std::vector<LocalFile>& listed() const { return m_listed; }

private:
    struct Candidate
    {
        std::string path;
        std::uint64_t size = 0;
    };
    // Lists the files worth hashing, each inode once.
    bool walk(const std::string& root, const std::string& relative, const Wanted& wanted,
              const CancelToken& cancel, int depth, std::vector<Candidate>& candidates);

    std::unordered_map<std::string, std::string> m_bySha;
    std::unordered_set<std::string> m_seenInodes; // "device:inode"
    std::vector<LocalFile> m_listed;
    std::size_t m_hashed = 0;
};
} // namespace pelvane

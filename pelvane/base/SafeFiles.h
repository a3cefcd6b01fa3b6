// File operations of the library that never follow a symbolic link below
// the folder they start from, so that a hostile manifest or a planted link
// cannot make a write land outside Extract and Target. Every function
// returns 0 or the errno of the failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace pelvane::safefiles
{
inline constexpr std::size_t MAX_PATH_BYTES = 1024;
inline constexpr std::size_t MAX_COMPONENT_BYTES = 255;

// A manifest path: relative, '/'-separated, no empty, "." or ".." part, no
// NUL, backslash or control character, within the length bounds.
bool isSafeRelativePath(std::string_view path);

// The folders that one pass over a tree has already made or found real, so
// that its thousands of files do not look at every part of their paths
// again (two files in three share the folder of the one before). Only for
// folders that the pass itself owns for its duration. Thread-safe.
class FolderMemo
{
public:
    bool has(const std::string& folder) const;
    void add(const std::string& folder);

private:
    mutable std::mutex m_lock;
    std::unordered_set<std::string> m_folders;
};

// Creates base/relativeDir part by part; a part that exists as anything but
// a real directory (a symbolic link included) gives ENOTDIR or ELOOP, or,
// with replaceBlockers, is removed first (the link itself, never its target).
// Parts that `made` holds are taken as they are; those made or found real
// are added to it.
int makeDirectories(const std::string& base, const std::string& relativeDir,
                    bool replaceBlockers = false, FolderMemo* made = nullptr);

// makeDirectories for the folder that will hold base/relativeFile.
int makeParentDirectories(const std::string& base, const std::string& relativeFile,
                          bool replaceBlockers = false, FolderMemo* made = nullptr);

// Places a hard link (or, across file systems, a copy) of `source` at
// `destination`, replacing whatever is there (a folder tree included).
int linkOrCopyFile(const std::string& source, const std::string& destination,
                   const std::atomic<bool>* cancel);

// Rebuilds the tree `source` at `destination` (which must not exist) from
// hard links or copies; symbolic links are recreated as links, not followed.
int cloneTree(const std::string& source, const std::string& destination,
              const std::atomic<bool>* cancel);

// Removes a file, a symbolic link or a whole folder tree; missing is fine.
// `cancel` set: stops between entries, ECANCELED.
int removeTree(const std::string& path, const std::atomic<bool>* cancel = nullptr);

// Writes `content` to a temporary file beside `path` and renames it over;
// the file gets `mode` (before the umask). Not `durable`: without the flushes,
// for a file that is only a hint or that a later flush of the whole file
// system covers (until then a power cut may lose or empty it).
int writeFileAtomically(const std::string& path, std::string_view content, unsigned mode = 0644,
                        bool durable = true);

// Creates the folder `path` and its missing parents, as `mkdir -p` does (links
// above it are followed: the caller chose the path); the folders it creates
// get `mode` (before the umask).
int makeFolderPath(const std::string& path, unsigned mode = 0755);

// Reads a whole regular file (not through a final link) of at most `limit`
// bytes. Its size is checked before any byte is read (EFBIG beyond the
// limit), anything but a regular file is refused (EINVAL; a fifo does not
// block), and no more than `limit` bytes are ever read.
int readSmallFile(const std::string& path, std::string& content, std::size_t limit);

// 0 with `size` set when `path` is a regular file (not a link).
int regularFileSize(const std::string& path, std::uint64_t& size);

bool pathExists(const std::string& path);
} // namespace pelvane::safefiles

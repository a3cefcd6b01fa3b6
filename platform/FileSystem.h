// The file-system calls of the directory-tree operations, on narrow paths in
// the locale's character set. Symbolic links are never followed: a status is
// the link's own, a listing refuses a link, a copy recreates the link.
// Failures return false with the errno of the failing call as last error.
//
// Every call goes through SystemCalls, whose fault hook is how tests reach
// the error paths.
#pragma once

#include <string>
#include <vector>

namespace platform
{
class FileSystem
{
public:
    enum class EntryType
    {
        File,
        Directory,
        Symlink,
        Other, // fifo, socket, device
    };
    struct Entry
    {
        std::string name;
        EntryType type;
    };
    struct Status
    {
        EntryType type = EntryType::Other;
        unsigned int mode = 0; // permission bits, set-id and sticky bits
        long long accessSeconds = 0;
        long long accessNanoseconds = 0;
        long long modifySeconds = 0;
        long long modifyNanoseconds = 0;
    };

    // The status of path itself (a link is not followed).
    static bool status(const std::string& path, Status& result);
    // The status of what path names, through a final link.
    static bool targetStatus(const std::string& path, Status& result);
    // The entries of a real directory (not through a link), without "." and "..".
    static bool listDirectory(const std::string& path, std::vector<Entry>& entries);
    // unlink: a file, or a link itself.
    static bool removeFile(const std::string& path);
    // rmdir: an empty directory.
    static bool removeDirectory(const std::string& path);
    // rename, replacing an existing file at to; EXDEV across file systems.
    static bool rename(const std::string& from, const std::string& to);
    static bool makeDirectory(const std::string& path, unsigned int mode);
    // Creates the new file to (it must not exist) with the contents, mode and
    // times of the regular file from, flushed to the disk before returning.
    // A failure removes what was created of to.
    static bool copyFile(const std::string& from, const std::string& to);
    // Creates the new file to (it must not exist), readable and writable by
    // its owner only, with the contents of the regular file from (reached
    // through a final link too), flushed to the disk before returning.
    static bool copyToNewPrivateFile(const std::string& from, const std::string& to);
    // Replaces to (or creates it) with a copy of the regular file from,
    // contents, mode and times, through a flushed temporary file beside it.
    static bool replaceWithCopy(const std::string& from, const std::string& to);
    // Creates the link to pointing where the link from points.
    static bool copyLink(const std::string& from, const std::string& to);
    // Gives path (not through a link) the mode and times of attributes.
    static bool setAttributes(const std::string& path, const Status& attributes);
};
} // namespace platform

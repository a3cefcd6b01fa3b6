// The one door through which the program and the update-client library reach
// the kernel for file I/O. Every call retries EINTR (one helper does it for
// all of them) and reports a failure as POSIX does: -1 with errno set.
//
// Tests install a fault hook that is asked before each call and can make it
// fail with any errno (ENOSPC from a write, EACCES from an open, EXDEV from a
// rename) or be interrupted (EINTR, which the call retries like a real
// interruption). The hook is a plain function pointer read with one relaxed
// load, so an unset hook costs a predictable branch; it is set only through
// setFaultHook, a C++ call inside the process (nothing in the environment or
// in the library's exports reaches it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform
{
class SystemCalls
{
public:
    enum class Call
    {
        Open, // also the creation of a temporary file and of a directory listing
        Read,
        Write,
        Sync,
        Close,
        Truncate,
        Seek,
        Status,
        Rename,
        Link,
        Unlink,
        MakeDirectory,
        RemoveDirectory,
        ReadLink,
        SymbolicLink,
        ChangeMode,
        SetTimes,
        ListDirectory,
        Allocate,
    };
    // Answers the errno to fail the call with (EINTR: interrupted, retried),
    // or 0 to let it run. path is the call's first path, empty for calls on a
    // descriptor.
    using FaultHook = int (*)(Call call, const std::string& path, void* context);
    // Installs (or with nullptr removes) the hook; set it while no other
    // thread is inside a call that the test cares about.
    static void setFaultHook(FaultHook hook, void* context) noexcept;

    enum class OpenMode
    {
        Read,                // the final link is followed
        ReadNonBlocking,     // a fifo in the file's place does not block
        ReadNoFollow,        // a final symbolic link is refused (ELOOP)
        ReadNonBlockingNoFollow, // both: a fifo or a device cannot hold the open
        WriteExisting,       // an existing file, not truncated
        WriteCreateNoFollow, // created when missing, not truncated
        CreateNewNoFollow,   // must not exist (EEXIST)
        ReadWriteCreateNoFollow, // read and write (a file to map), created when missing
        Directory,           // for syncing a folder
    };
    enum class Type
    {
        File,
        Directory,
        Symlink,
        Other,
    };
    struct Info
    {
        Type type = Type::Other;
        unsigned int mode = 0; // permission, set-id and sticky bits
        std::uint64_t size = 0;
        // together they name the file itself, whatever link it was reached by
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        unsigned int owner = 0;
        unsigned int group = 0;
        long long accessSeconds = 0;
        long long accessNanoseconds = 0;
        long long modifySeconds = 0;
        long long modifyNanoseconds = 0;
    };
    struct Entry
    {
        std::string name;
        Type type;
    };

    // A descriptor (close-on-exec) or -1.
    static int open(const std::string& path, OpenMode mode, unsigned int permissions = 0);
    // Creates and opens a new file from a mkostemp pattern ending in XXXXXX,
    // which is replaced by the name used.
    static int openTemporary(std::string& pattern);
    // Never retried: Linux releases the descriptor even when interrupted, so
    // an interrupted close counts as done.
    static int close(int fd);
    static std::int64_t read(int fd, void* buffer, std::size_t size);
    static std::int64_t readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset);
    // Exactly size bytes at offset, in as many calls as it takes; a file
    // that ends before them fails with EIO.
    static int readAllAt(int fd, void* buffer, std::size_t size, std::uint64_t offset);
    // Writes all of size bytes, in as many calls as it takes.
    static int writeAll(int fd, const void* data, std::size_t size);
    // All of `data` at `offset`, the file position untouched.
    static int writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset);
    static int sync(int fd);
    static int truncate(int fd, std::uint64_t size);
    // Reserves the blocks of the first size bytes (the file grows to size when
    // shorter), so that later writes, through a mapping too, cannot run out
    // of space.
    static int allocate(int fd, std::uint64_t size);
    static int seek(int fd, std::uint64_t offset);
    static int status(int fd, Info& info);
    // The path itself (a link is not followed).
    static int linkStatus(const std::string& path, Info& info);
    // Through a final link.
    static int pathStatus(const std::string& path, Info& info);
    static int rename(const std::string& from, const std::string& to);
    static int link(const std::string& existing, const std::string& created);
    static int unlink(const std::string& path);
    static int makeDirectory(const std::string& path, unsigned int permissions);
    static int removeDirectory(const std::string& path);
    static int readLink(const std::string& path, std::string& target);
    static int symbolicLink(const std::string& target, const std::string& created);
    static int changeMode(int fd, unsigned int permissions);
    // The path itself when it is a link (a link's mode cannot change: only
    // the times are set then).
    static int changeModeAt(const std::string& path, unsigned int permissions);
    // Tries to give the file an owner and group; refused for anyone but root,
    // which the callers accept.
    static int changeOwner(int fd, unsigned int owner, unsigned int group);
    static int setTimes(int fd, const Info& times);
    static int setLinkTimes(const std::string& path, const Info& times);
    // The entries of a real directory (not through a final link), "." and
    // ".." left out.
    static int listDirectory(const std::string& path, std::vector<Entry>& entries);
    // true when this process may write the file.
    static bool writable(const std::string& path);
    // The path with every link resolved.
    static int resolvedPath(const std::string& path, std::string& resolved);
    // Flushes a folder, so that a rename in it reaches the disk.
    static int syncDirectory(const std::string& path);
    // Flushes everything written to the file system that holds `path`
    // (syncfs): one flush for many files instead of one each.
    static int syncFileSystem(const std::string& path);
};
} // namespace platform

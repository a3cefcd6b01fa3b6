#include "pelvane/SafeFiles.h"

#include "platform/FileDescriptor.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pelvane::safefiles
{
namespace
{
using platform::FileDescriptor;
struct DirCloser
{
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::string temporarySibling(const std::string& path)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return path + ".pelvane-tmp-" + std::to_string(random() % 100000000ULL);
}

int writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int copyFile(const std::string& source, const std::string& destination,
             const std::atomic<bool>* cancel)
{
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.get() < 0)
    {
        return errno;
    }
    struct stat info
    {
    };
    if (::fstat(in.get(), &info) != 0)
    {
        return errno;
    }
    FileDescriptor out(::open(destination.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                              info.st_mode & 07777));
    if (out.get() < 0)
    {
        return errno;
    }
    std::vector<char> buffer(256 * 1024);
    for (;;)
    {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
        {
            return ECANCELED;
        }
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return errno;
        }
        if (got == 0)
        {
            break;
        }
        if (const int error = writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got)))
        {
            return error;
        }
    }
    // a full disk may only show at close on some file systems
    if (::close(out.release()) != 0)
    {
        return errno;
    }
    return 0;
}
} // namespace

bool isSafeRelativePath(std::string_view path)
{
    if (path.empty() || path.size() > MAX_PATH_BYTES || path.front() == '/')
    {
        return false;
    }
    std::size_t start = 0;
    while (start <= path.size())
    {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
        {
            end = path.size();
        }
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.size() > MAX_COMPONENT_BYTES)
        {
            return false;
        }
        for (const char c : part)
        {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f || c == '\\')
            {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

int makeDirectories(const std::string& base, const std::string& relativeDir, bool replaceBlockers)
{
    std::string current = base;
    std::size_t start = 0;
    while (start < relativeDir.size())
    {
        std::size_t end = relativeDir.find('/', start);
        if (end == std::string::npos)
        {
            end = relativeDir.size();
        }
        current += '/';
        current.append(relativeDir, start, end - start);
        struct stat info
        {
        };
        if (::lstat(current.c_str(), &info) == 0 && replaceBlockers && !S_ISDIR(info.st_mode))
        {
            if (::unlink(current.c_str()) != 0 || ::mkdir(current.c_str(), 0755) != 0)
            {
                return errno;
            }
        }
        else if (::lstat(current.c_str(), &info) == 0)
        {
            if (S_ISLNK(info.st_mode))
            {
                return ELOOP;
            }
            if (!S_ISDIR(info.st_mode))
            {
                return ENOTDIR;
            }
        }
        else if (errno != ENOENT || (::mkdir(current.c_str(), 0755) != 0 && errno != EEXIST))
        {
            return errno;
        }
        start = end + 1;
    }
    return 0;
}

int makeParentDirectories(const std::string& base, const std::string& relativeFile,
                          bool replaceBlockers)
{
    const std::size_t slash = relativeFile.rfind('/');
    if (slash == std::string::npos)
    {
        return 0;
    }
    return makeDirectories(base, relativeFile.substr(0, slash), replaceBlockers);
}

int linkOrCopyFile(const std::string& source, const std::string& destination,
                   const std::atomic<bool>* cancel)
{
    const std::string temporary = temporarySibling(destination);
    if (::link(source.c_str(), temporary.c_str()) != 0)
    {
        if (const int error = copyFile(source, temporary, cancel))
        {
            ::unlink(temporary.c_str());
            return error;
        }
    }
    struct stat info
    {
    };
    if (::lstat(destination.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    {
        if (const int error = removeTree(destination))
        {
            ::unlink(temporary.c_str());
            return error;
        }
    }
    if (::rename(temporary.c_str(), destination.c_str()) != 0)
    {
        const int error = errno;
        ::unlink(temporary.c_str());
        return error;
    }
    return 0;
}

int cloneTree(const std::string& source, const std::string& destination,
              const std::atomic<bool>* cancel)
{
    struct stat info
    {
    };
    if (::lstat(source.c_str(), &info) != 0)
    {
        return errno;
    }
    if (S_ISLNK(info.st_mode))
    {
        std::vector<char> target(4096);
        const ssize_t length = ::readlink(source.c_str(), target.data(), target.size() - 1);
        if (length < 0)
        {
            return errno;
        }
        target[static_cast<std::size_t>(length)] = '\0';
        return ::symlink(target.data(), destination.c_str()) == 0 ? 0 : errno;
    }
    if (S_ISREG(info.st_mode))
    {
        if (::link(source.c_str(), destination.c_str()) == 0)
        {
            return 0;
        }
        return copyFile(source, destination, cancel);
    }
    if (!S_ISDIR(info.st_mode))
    {
        return 0; // sockets, fifos and devices have no place in an update
    }
    if (::mkdir(destination.c_str(), info.st_mode & 07777) != 0)
    {
        return errno;
    }
    DirHandle dir(::opendir(source.c_str()));
    if (!dir)
    {
        return errno;
    }
    while (const dirent* entry = ::readdir(dir.get()))
    {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
        {
            continue;
        }
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
        {
            return ECANCELED;
        }
        if (const int error = cloneTree(source + "/" + name, destination + "/" + name, cancel))
        {
            return error;
        }
    }
    return 0;
}

int removeTree(const std::string& path)
{
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) != 0)
    {
        return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISDIR(info.st_mode))
    {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
    }
    {
        DirHandle dir(::opendir(path.c_str()));
        if (!dir)
        {
            return errno;
        }
        while (const dirent* entry = ::readdir(dir.get()))
        {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
            {
                continue;
            }
            if (const int error = removeTree(path + "/" + name))
            {
                return error;
            }
        }
    }
    return ::rmdir(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

int writeFileAtomically(const std::string& path, std::string_view content, unsigned mode)
{
    const std::string temporary = temporarySibling(path);
    FileDescriptor out(::open(temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                              static_cast<mode_t>(mode)));
    if (out.get() < 0)
    {
        return errno;
    }
    int error = writeAll(out.get(), content.data(), content.size());
    if (::close(out.release()) != 0 && error == 0)
    {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
    {
        error = errno;
    }
    if (error != 0)
    {
        ::unlink(temporary.c_str());
    }
    return error;
}

int regularFileSize(const std::string& path, std::uint64_t& size)
{
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) != 0)
    {
        return errno;
    }
    if (!S_ISREG(info.st_mode))
    {
        return S_ISLNK(info.st_mode) ? ELOOP : EISDIR;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

bool pathExists(const std::string& path)
{
    struct stat info
    {
    };
    return ::lstat(path.c_str(), &info) == 0;
}
} // namespace pelvane::safefiles

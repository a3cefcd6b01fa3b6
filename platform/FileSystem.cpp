#include "platform/FileSystem.h"

#include "platform/FileDescriptor.h"

#include "platform/LastError.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
platform::FileSystem::FaultHook& faultHook()
{
    static platform::FileSystem::FaultHook hook;
    return hook;
}

// true when the hook wants this call to fail; the error is then recorded
bool injectedFault(platform::FileSystem::Operation operation, const std::string& path)
{
    const auto& hook = faultHook();
    if (!hook)
    {
        return false;
    }
    const int error = hook(operation, path);
    if (error == 0)
    {
        return false;
    }
    platform::setLastError(static_cast<unsigned long>(error));
    return true;
}

// Closes a directory stream (and its descriptor).
class DirectoryStream
{
public:
    explicit DirectoryStream(DIR* stream) : m_stream(stream) {}
    ~DirectoryStream()
    {
        if (m_stream != nullptr)
        {
            ::closedir(m_stream);
        }
    }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;

    DIR* get() const { return m_stream; }

private:
    DIR* m_stream;
};

platform::FileSystem::EntryType typeFromMode(mode_t mode)
{
    using Type = platform::FileSystem::EntryType;
    if (S_ISDIR(mode))
    {
        return Type::Directory;
    }
    if (S_ISLNK(mode))
    {
        return Type::Symlink;
    }
    return S_ISREG(mode) ? Type::File : Type::Other;
}

void fillStatus(const struct stat& info, platform::FileSystem::Status& result)
{
    result.type = typeFromMode(info.st_mode);
    result.mode = static_cast<unsigned int>(info.st_mode & 07777);
    result.accessSeconds = info.st_atim.tv_sec;
    result.accessNanoseconds = info.st_atim.tv_nsec;
    result.modifySeconds = info.st_mtim.tv_sec;
    result.modifyNanoseconds = info.st_mtim.tv_nsec;
}

void toTimes(const platform::FileSystem::Status& attributes, struct timespec (&times)[2])
{
    times[0].tv_sec = static_cast<time_t>(attributes.accessSeconds);
    times[0].tv_nsec = static_cast<long>(attributes.accessNanoseconds);
    times[1].tv_sec = static_cast<time_t>(attributes.modifySeconds);
    times[1].tv_nsec = static_cast<long>(attributes.modifyNanoseconds);
}

bool copyContents(int from, int to)
{
    constexpr size_t CHUNK = 128 * 1024;
    std::string buffer(CHUNK, '\0');
    for (;;)
    {
        const ssize_t got = ::read(from, buffer.data(), CHUNK);
        if (got == 0)
        {
            return true;
        }
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        size_t written = 0;
        while (written < static_cast<size_t>(got))
        {
            const ssize_t put =
                ::write(to, buffer.data() + written, static_cast<size_t>(got) - written);
            if (put < 0)
            {
                if (errno == EINTR)
                {
                    continue;
                }
                return false;
            }
            written += static_cast<size_t>(put);
        }
    }
}

// Removes a half-made copy without losing the error that spoiled it.
bool failAndRemove(const std::string& path)
{
    const unsigned long error = static_cast<unsigned long>(errno);
    ::unlink(path.c_str());
    platform::setLastError(error);
    return false;
}
} // namespace

namespace platform
{
void FileSystem::setFaultHook(FaultHook hook)
{
    faultHook() = std::move(hook);
}

bool FileSystem::status(const std::string& path, Status& result)
{
    if (injectedFault(Operation::Status, path))
    {
        return false;
    }
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) != 0)
    {
        return failWithErrno();
    }
    fillStatus(info, result);
    return true;
}

bool FileSystem::listDirectory(const std::string& path, std::vector<Entry>& entries)
{
    if (injectedFault(Operation::ListDirectory, path))
    {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
    {
        return failWithErrno();
    }
    DIR* const raw = ::fdopendir(fd);
    if (raw == nullptr)
    {
        const int error = errno;
        ::close(fd);
        setLastError(static_cast<unsigned long>(error));
        return false;
    }
    const DirectoryStream stream(raw);
    entries.clear();
    for (;;)
    {
        errno = 0;
        const dirent* const entry = ::readdir(stream.get());
        if (entry == nullptr)
        {
            if (errno != 0)
            {
                return failWithErrno();
            }
            return true;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
        {
            continue;
        }
        EntryType type = EntryType::Other;
        switch (entry->d_type)
        {
        case DT_DIR:
            type = EntryType::Directory;
            break;
        case DT_REG:
            type = EntryType::File;
            break;
        case DT_LNK:
            type = EntryType::Symlink;
            break;
        case DT_UNKNOWN:
        {
            // some file systems do not fill the type in
            struct stat info
            {
            };
            if (::fstatat(::dirfd(stream.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            {
                return failWithErrno();
            }
            type = typeFromMode(info.st_mode);
            break;
        }
        default:
            break;
        }
        entries.push_back(Entry{std::string(name), type});
    }
}

bool FileSystem::removeFile(const std::string& path)
{
    if (injectedFault(Operation::RemoveFile, path))
    {
        return false;
    }
    return ::unlink(path.c_str()) == 0 || failWithErrno();
}

bool FileSystem::removeDirectory(const std::string& path)
{
    if (injectedFault(Operation::RemoveDirectory, path))
    {
        return false;
    }
    return ::rmdir(path.c_str()) == 0 || failWithErrno();
}

bool FileSystem::rename(const std::string& from, const std::string& to)
{
    if (injectedFault(Operation::Rename, from))
    {
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0 || failWithErrno();
}

bool FileSystem::makeDirectory(const std::string& path, unsigned int mode)
{
    if (injectedFault(Operation::MakeDirectory, path))
    {
        return false;
    }
    return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || failWithErrno();
}

bool FileSystem::copyFile(const std::string& from, const std::string& to)
{
    if (injectedFault(Operation::CopyFile, from))
    {
        return false;
    }
    const FileDescriptor source(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!source.valid())
    {
        return failWithErrno();
    }
    struct stat info
    {
    };
    if (::fstat(source.get(), &info) != 0)
    {
        return failWithErrno();
    }
    if (!S_ISREG(info.st_mode))
    {
        setLastError(EINVAL);
        return false;
    }
    // owner-only until the contents are complete, then the source's mode
    FileDescriptor target(
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target.valid())
    {
        return failWithErrno();
    }
    struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (!copyContents(source.get(), target.get()) ||
        ::fchmod(target.get(), info.st_mode & 07777) != 0 || ::futimens(target.get(), times) != 0 ||
        ::fsync(target.get()) != 0 || !target.close())
    {
        return failAndRemove(to);
    }
    return true;
}

bool FileSystem::copyLink(const std::string& from, const std::string& to)
{
    if (injectedFault(Operation::CopyLink, from))
    {
        return false;
    }
    struct stat info
    {
    };
    if (::lstat(from.c_str(), &info) != 0)
    {
        return failWithErrno();
    }
    std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    for (;;)
    {
        const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
        if (length < 0)
        {
            return failWithErrno();
        }
        if (static_cast<size_t>(length) < target.size())
        {
            target.resize(static_cast<size_t>(length));
            break;
        }
        // the link grew since lstat
        target.resize(target.size() * 2);
    }
    if (::symlink(target.c_str(), to.c_str()) != 0)
    {
        return failWithErrno();
    }
    struct timespec times[2] = {info.st_atim, info.st_mtim};
    // a link's own times are a nicety; some file systems refuse them
    ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return true;
}

bool FileSystem::setAttributes(const std::string& path, const Status& attributes)
{
    if (injectedFault(Operation::SetAttributes, path))
    {
        return false;
    }
    struct timespec times[2]{};
    toTimes(attributes, times);
    if (attributes.type != EntryType::Symlink &&
        ::fchmodat(AT_FDCWD, path.c_str(), static_cast<mode_t>(attributes.mode), 0) != 0)
    {
        return failWithErrno();
    }
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 || failWithErrno();
}
} // namespace platform

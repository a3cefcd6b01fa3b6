#include "platform/SystemCalls.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{
namespace
{
std::atomic<SystemCalls::FaultHook> s_hook{nullptr};
std::atomic<void*> s_context{nullptr};

// Asks the hook; nonzero means the call must not run (errno is then set).
// EINTR is answered by the caller's retry, as a real interruption would be.
int askHook(SystemCalls::Call call, const std::string& path)
{
    const SystemCalls::FaultHook hook = s_hook.load(std::memory_order_acquire);
    if (hook == nullptr)
    {
        return 0;
    }
    return hook(call, path, s_context.load(std::memory_order_relaxed));
}

const std::string& noPath()
{
    static const std::string empty;
    return empty;
}

// The one EINTR loop: runs the call until it is not interrupted, asking the
// fault hook before each attempt. run() returns a negative value with errno
// set on failure.
template <typename Run>
auto retried(SystemCalls::Call call, const std::string& path, Run run) -> decltype(run())
{
    for (;;)
    {
        if (s_hook.load(std::memory_order_relaxed) != nullptr) [[unlikely]]
        {
            if (const int injected = askHook(call, path))
            {
                if (injected == EINTR)
                {
                    continue;
                }
                errno = injected;
                return -1;
            }
        }
        const auto result = run();
        if (result < 0 && errno == EINTR)
        {
            continue;
        }
        return result;
    }
}

int flagsOf(SystemCalls::OpenMode mode)
{
    using Mode = SystemCalls::OpenMode;
    switch (mode)
    {
    case Mode::Read:
        return O_RDONLY;
    case Mode::ReadNonBlocking:
        return O_RDONLY | O_NONBLOCK | O_NOCTTY;
    case Mode::ReadNoFollow:
        return O_RDONLY | O_NOFOLLOW;
    case Mode::ReadNonBlockingNoFollow:
        return O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
    case Mode::WriteExisting:
        return O_WRONLY | O_NOCTTY;
    case Mode::WriteCreateNoFollow:
        return O_WRONLY | O_CREAT | O_NOFOLLOW;
    case Mode::CreateNewNoFollow:
        return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    case Mode::ReadWriteCreateNoFollow:
        return O_RDWR | O_CREAT | O_NOFOLLOW;
    case Mode::Directory:
        return O_RDONLY | O_DIRECTORY;
    }
    return O_RDONLY;
}

SystemCalls::Type typeFromMode(mode_t mode)
{
    using Type = SystemCalls::Type;
    if (S_ISREG(mode))
    {
        return Type::File;
    }
    if (S_ISDIR(mode))
    {
        return Type::Directory;
    }
    return S_ISLNK(mode) ? Type::Symlink : Type::Other;
}

void fill(const struct stat& raw, SystemCalls::Info& info)
{
    info.type = typeFromMode(raw.st_mode);
    info.mode = static_cast<unsigned int>(raw.st_mode & 07777);
    info.size = static_cast<std::uint64_t>(raw.st_size);
    info.device = static_cast<std::uint64_t>(raw.st_dev);
    info.inode = static_cast<std::uint64_t>(raw.st_ino);
    info.owner = raw.st_uid;
    info.group = raw.st_gid;
    info.accessSeconds = raw.st_atim.tv_sec;
    info.accessNanoseconds = raw.st_atim.tv_nsec;
    info.modifySeconds = raw.st_mtim.tv_sec;
    info.modifyNanoseconds = raw.st_mtim.tv_nsec;
}

void toTimes(const SystemCalls::Info& info, struct timespec (&times)[2])
{
    times[0].tv_sec = static_cast<time_t>(info.accessSeconds);
    times[0].tv_nsec = static_cast<long>(info.accessNanoseconds);
    times[1].tv_sec = static_cast<time_t>(info.modifySeconds);
    times[1].tv_nsec = static_cast<long>(info.modifyNanoseconds);
}

struct DirectoryCloser
{
    void operator()(DIR* stream) const noexcept { ::closedir(stream); }
};
} // namespace

void SystemCalls::setFaultHook(FaultHook hook, void* context) noexcept
{
    s_context.store(context, std::memory_order_relaxed);
    s_hook.store(hook, std::memory_order_release);
}

int SystemCalls::open(const std::string& path, OpenMode mode, unsigned int permissions)
{
    const int flags = flagsOf(mode) | O_CLOEXEC;
    return retried(Call::Open, path,
                   [&] { return ::open(path.c_str(), flags, static_cast<mode_t>(permissions)); });
}

int SystemCalls::openTemporary(std::string& pattern)
{
    const std::string original = pattern;
    return retried(Call::Open, original,
                   [&]
                   {
                       // a retry needs the XXXXXX back
                       pattern = original;
                       return ::mkostemp(pattern.data(), O_CLOEXEC);
                   });
}

int SystemCalls::close(int fd)
{
    if (s_hook.load(std::memory_order_relaxed) != nullptr) [[unlikely]]
    {
        if (const int injected = askHook(Call::Close, noPath()); injected != 0 && injected != EINTR)
        {
            // the descriptor goes all the same, as after a real failed close
            ::close(fd);
            errno = injected;
            return -1;
        }
    }
    if (::close(fd) != 0 && errno != EINTR)
    {
        return -1;
    }
    return 0;
}

std::int64_t SystemCalls::read(int fd, void* buffer, std::size_t size)
{
    return retried(Call::Read, noPath(),
                   [&] { return static_cast<std::int64_t>(::read(fd, buffer, size)); });
}

std::int64_t SystemCalls::readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset)
{
    return retried(Call::Read, noPath(),
                   [&] {
                       return static_cast<std::int64_t>(
                           ::pread(fd, buffer, size, static_cast<off_t>(offset)));
                   });
}

int SystemCalls::readAllAt(int fd, void* buffer, std::size_t size, std::uint64_t offset)
{
    auto* next = static_cast<char*>(buffer);
    while (size > 0)
    {
        const std::int64_t got = readAt(fd, next, size, offset);
        if (got < 0)
        {
            return -1;
        }
        if (got == 0)
        {
            errno = EIO;
            return -1;
        }
        next += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return 0;
}

int SystemCalls::writeAll(int fd, const void* data, std::size_t size)
{
    const auto* next = static_cast<const char*>(data);
    while (size > 0)
    {
        const ssize_t written =
            retried(Call::Write, noPath(), [&] { return ::write(fd, next, size); });
        if (written < 0)
        {
            return -1;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int SystemCalls::writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset)
{
    const auto* next = static_cast<const char*>(data);
    while (size > 0)
    {
        const ssize_t written =
            retried(Call::Write, noPath(),
                    [&] { return ::pwrite(fd, next, size, static_cast<off_t>(offset)); });
        if (written < 0)
        {
            return -1;
        }
        if (written == 0)
        {
            errno = EIO;
            return -1;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    return 0;
}

int SystemCalls::sync(int fd)
{
    return retried(Call::Sync, noPath(), [&] { return ::fsync(fd); });
}

int SystemCalls::truncate(int fd, std::uint64_t size)
{
    return retried(Call::Truncate, noPath(),
                   [&] { return ::ftruncate(fd, static_cast<off_t>(size)); });
}

int SystemCalls::allocate(int fd, std::uint64_t size)
{
    if (size == 0)
    {
        return 0;
    }
    // posix_fallocate answers its error instead of setting errno
    return retried(Call::Allocate, noPath(), [&] {
        const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
        errno = error;
        return error == 0 ? 0 : -1;
    });
}

int SystemCalls::seek(int fd, std::uint64_t offset)
{
    const off_t reached = retried(
        Call::Seek, noPath(), [&] { return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET); });
    return reached < 0 ? -1 : 0;
}

int SystemCalls::status(int fd, Info& info)
{
    struct stat raw
    {
    };
    if (retried(Call::Status, noPath(), [&] { return ::fstat(fd, &raw); }) != 0)
    {
        return -1;
    }
    fill(raw, info);
    return 0;
}

int SystemCalls::linkStatus(const std::string& path, Info& info)
{
    struct stat raw
    {
    };
    if (retried(Call::Status, path, [&] { return ::lstat(path.c_str(), &raw); }) != 0)
    {
        return -1;
    }
    fill(raw, info);
    return 0;
}

int SystemCalls::pathStatus(const std::string& path, Info& info)
{
    struct stat raw
    {
    };
    if (retried(Call::Status, path, [&] { return ::stat(path.c_str(), &raw); }) != 0)
    {
        return -1;
    }
    fill(raw, info);
    return 0;
}

int SystemCalls::rename(const std::string& from, const std::string& to)
{
    return retried(Call::Rename, from, [&] { return ::rename(from.c_str(), to.c_str()); });
}

int SystemCalls::link(const std::string& existing, const std::string& created)
{
    return retried(Call::Link, existing, [&] { return ::link(existing.c_str(), created.c_str()); });
}

int SystemCalls::unlink(const std::string& path)
{
    return retried(Call::Unlink, path, [&] { return ::unlink(path.c_str()); });
}

int SystemCalls::makeDirectory(const std::string& path, unsigned int permissions)
{
    return retried(Call::MakeDirectory, path,
                   [&] { return ::mkdir(path.c_str(), static_cast<mode_t>(permissions)); });
}

int SystemCalls::removeDirectory(const std::string& path)
{
    return retried(Call::RemoveDirectory, path, [&] { return ::rmdir(path.c_str()); });
}

int SystemCalls::readLink(const std::string& path, std::string& target)
{
    std::string buffer(256, '\0');
    for (;;)
    {
        const ssize_t length =
            retried(Call::ReadLink, path,
                    [&] { return ::readlink(path.c_str(), buffer.data(), buffer.size()); });
        if (length < 0)
        {
            return -1;
        }
        if (static_cast<std::size_t>(length) < buffer.size())
        {
            buffer.resize(static_cast<std::size_t>(length));
            target = std::move(buffer);
            return 0;
        }
        if (buffer.size() > PATH_MAX)
        {
            errno = ENAMETOOLONG;
            return -1;
        }
        buffer.resize(buffer.size() * 2);
    }
}

int SystemCalls::symbolicLink(const std::string& target, const std::string& created)
{
    return retried(Call::SymbolicLink, created,
                   [&] { return ::symlink(target.c_str(), created.c_str()); });
}

int SystemCalls::changeMode(int fd, unsigned int permissions)
{
    return retried(Call::ChangeMode, noPath(),
                   [&] { return ::fchmod(fd, static_cast<mode_t>(permissions)); });
}

int SystemCalls::changeModeAt(const std::string& path, unsigned int permissions)
{
    return retried(
        Call::ChangeMode, path,
        [&] { return ::fchmodat(AT_FDCWD, path.c_str(), static_cast<mode_t>(permissions), 0); });
}

int SystemCalls::changeOwner(int fd, unsigned int owner, unsigned int group)
{
    return retried(Call::ChangeMode, noPath(),
                   [&]
                   { return ::fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group)); });
}

int SystemCalls::setTimes(int fd, const Info& times)
{
    struct timespec raw[2]{};
    toTimes(times, raw);
    return retried(Call::SetTimes, noPath(), [&] { return ::futimens(fd, raw); });
}

int SystemCalls::setLinkTimes(const std::string& path, const Info& times)
{
    struct timespec raw[2]{};
    toTimes(times, raw);
    return retried(Call::SetTimes, path,
                   [&] { return ::utimensat(AT_FDCWD, path.c_str(), raw, AT_SYMLINK_NOFOLLOW); });
}

int SystemCalls::listDirectory(const std::string& path, std::vector<Entry>& entries)
{
    const int fd = retried(
        Call::ListDirectory, path,
        [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0)
    {
        return -1;
    }
    DIR* const raw = ::fdopendir(fd);
    if (raw == nullptr)
    {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    const std::unique_ptr<DIR, DirectoryCloser> stream(raw);
    entries.clear();
    for (;;)
    {
        errno = 0;
        const dirent* const entry = ::readdir(stream.get());
        if (entry == nullptr)
        {
            return errno == 0 ? 0 : -1;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
        {
            continue;
        }
        Type type = Type::Other;
        switch (entry->d_type)
        {
        case DT_DIR:
            type = Type::Directory;
            break;
        case DT_REG:
            type = Type::File;
            break;
        case DT_LNK:
            type = Type::Symlink;
            break;
        case DT_UNKNOWN:
        {
            // some file systems do not fill the type in
            struct stat info
            {
            };
            if (::fstatat(::dirfd(stream.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            {
                return -1;
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

bool SystemCalls::writable(const std::string& path)
{
    return retried(Call::Status, path, [&] { return ::access(path.c_str(), W_OK); }) == 0;
}

int SystemCalls::resolvedPath(const std::string& path, std::string& resolved)
{
    std::unique_ptr<char, decltype(&std::free)> raw(nullptr, &std::free);
    const int done = retried(Call::Status, path,
                             [&]
                             {
                                 raw.reset(::realpath(path.c_str(), nullptr));
                                 return raw ? 0 : -1;
                             });
    if (done != 0)
    {
        return -1;
    }
    resolved = raw.get();
    return 0;
}

int SystemCalls::syncFileSystem(const std::string& path)
{
    const int fd = open(path, OpenMode::Directory);
    if (fd < 0)
    {
        return -1;
    }
    const int synced = retried(Call::Sync, path, [&] { return ::syncfs(fd); });
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

int SystemCalls::syncDirectory(const std::string& path)
{
    const int fd = open(path, OpenMode::Directory);
    if (fd < 0)
    {
        return -1;
    }
    const int synced = sync(fd);
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}
} // namespace platform

#include "platform/FileSystem.h"

#include "platform/AtomicFile.h"
#include "platform/LastError.h"
#include "platform/SystemCalls.h"

#include <cerrno>

namespace
{
using platform::SystemCalls;

platform::FileSystem::EntryType entryType(SystemCalls::Type type)
{
    using Type = platform::FileSystem::EntryType;
    switch (type)
    {
    case SystemCalls::Type::File:
        return Type::File;
    case SystemCalls::Type::Directory:
        return Type::Directory;
    case SystemCalls::Type::Symlink:
        return Type::Symlink;
    case SystemCalls::Type::Other:
        break;
    }
    return Type::Other;
}

void fillStatus(const SystemCalls::Info& info, platform::FileSystem::Status& result)
{
    result.type = entryType(info.type);
    result.mode = info.mode;
    result.accessSeconds = info.accessSeconds;
    result.accessNanoseconds = info.accessNanoseconds;
    result.modifySeconds = info.modifySeconds;
    result.modifyNanoseconds = info.modifyNanoseconds;
}

SystemCalls::Info timesOf(const platform::FileSystem::Status& attributes)
{
    SystemCalls::Info times;
    times.accessSeconds = attributes.accessSeconds;
    times.accessNanoseconds = attributes.accessNanoseconds;
    times.modifySeconds = attributes.modifySeconds;
    times.modifyNanoseconds = attributes.modifyNanoseconds;
    return times;
}

// 0 or -1 with errno, as the seam reports.
int copyContents(int from, int to)
{
    constexpr std::size_t CHUNK = 128 * 1024;
    std::string buffer(CHUNK, '\0');
    for (;;)
    {
        const std::int64_t got = SystemCalls::read(from, buffer.data(), CHUNK);
        if (got <= 0)
        {
            return got == 0 ? 0 : -1;
        }
        if (SystemCalls::writeAll(to, buffer.data(), static_cast<std::size_t>(got)) != 0)
        {
            return -1;
        }
    }
}

// Gives the copy being made through to the source's contents, mode and times.
int fillCopy(int source, const SystemCalls::Info& info, int to)
{
    if (copyContents(source, to) != 0 || SystemCalls::changeMode(to, info.mode) != 0)
    {
        return -1;
    }
    return SystemCalls::setTimes(to, info);
}

// Opens a regular file for copying (a final link refused, or followed when
// asked); -1 with the last error set.
int openSource(const std::string& from, SystemCalls::Info& info, bool followLink = false)
{
    const int fd = SystemCalls::open(from, followLink ? SystemCalls::OpenMode::Read
                                                      : SystemCalls::OpenMode::ReadNoFollow);
    if (fd < 0)
    {
        platform::failWithErrno();
        return -1;
    }
    int error = 0;
    if (SystemCalls::status(fd, info) != 0)
    {
        error = errno;
    }
    else if (info.type != SystemCalls::Type::File)
    {
        error = EINVAL;
    }
    if (error != 0)
    {
        SystemCalls::close(fd);
        platform::setLastError(static_cast<unsigned long>(error));
        return -1;
    }
    return fd;
}

bool succeeded(int result)
{
    return result == 0 || platform::failWithErrno();
}
} // namespace

namespace platform
{
bool FileSystem::status(const std::string& path, Status& result)
{
    SystemCalls::Info info;
    if (SystemCalls::linkStatus(path, info) != 0)
    {
        return failWithErrno();
    }
    fillStatus(info, result);
    return true;
}

bool FileSystem::targetStatus(const std::string& path, Status& result)
{
    SystemCalls::Info info;
    if (SystemCalls::pathStatus(path, info) != 0)
    {
        return failWithErrno();
    }
    fillStatus(info, result);
    return true;
}

bool FileSystem::listDirectory(const std::string& path, std::vector<Entry>& entries)
{
    std::vector<SystemCalls::Entry> raw;
    if (SystemCalls::listDirectory(path, raw) != 0)
    {
        return failWithErrno();
    }
    entries.clear();
    entries.reserve(raw.size());
    for (auto& entry : raw)
    {
        entries.push_back(Entry{std::move(entry.name), entryType(entry.type)});
    }
    return true;
}

bool FileSystem::removeFile(const std::string& path)
{
    return succeeded(SystemCalls::unlink(path));
}

bool FileSystem::removeDirectory(const std::string& path)
{
    return succeeded(SystemCalls::removeDirectory(path));
}

bool FileSystem::rename(const std::string& from, const std::string& to)
{
    return succeeded(SystemCalls::rename(from, to));
}

bool FileSystem::makeDirectory(const std::string& path, unsigned int mode)
{
    return succeeded(SystemCalls::makeDirectory(path, mode));
}

namespace
{
// The new file to with the contents of from; the source's mode and times
// too unless the copy is to stay private (owner-only, through a link).
bool copyToNewFile(const std::string& from, const std::string& to, bool keepPrivate)
{
    SystemCalls::Info info;
    const int source = openSource(from, info, keepPrivate);
    if (source < 0)
    {
        return false;
    }
    // owner-only until the contents are complete, then the source's mode
    const int target = SystemCalls::open(to, SystemCalls::OpenMode::CreateNewNoFollow, 0600);
    if (target < 0)
    {
        const int error = errno;
        SystemCalls::close(source);
        platform::setLastError(static_cast<unsigned long>(error));
        return false;
    }
    int error = 0;
    const int filled = keepPrivate ? copyContents(source, target) : fillCopy(source, info, target);
    if (filled != 0 || SystemCalls::sync(target) != 0)
    {
        error = errno;
    }
    if (SystemCalls::close(target) != 0 && error == 0)
    {
        error = errno;
    }
    SystemCalls::close(source);
    if (error != 0)
    {
        // a half-made copy goes, the error that spoiled it stays
        SystemCalls::unlink(to);
        platform::setLastError(static_cast<unsigned long>(error));
        return false;
    }
    return true;
}
} // namespace

bool FileSystem::copyFile(const std::string& from, const std::string& to)
{
    return copyToNewFile(from, to, false);
}

bool FileSystem::copyToNewPrivateFile(const std::string& from, const std::string& to)
{
    return copyToNewFile(from, to, true);
}

bool FileSystem::replaceWithCopy(const std::string& from, const std::string& to)
{
    SystemCalls::Info info;
    const int source = openSource(from, info);
    if (source < 0)
    {
        return false;
    }
    AtomicFile::Options options;
    options.permissions = 0600; // the source's mode once the contents are complete
    const int replaced = AtomicFile::replace(
        to, [&](int fd) { return fillCopy(source, info, fd); }, options);
    const int error = errno;
    SystemCalls::close(source);
    if (replaced != 0)
    {
        setLastError(static_cast<unsigned long>(error));
        return false;
    }
    return true;
}

bool FileSystem::copyLink(const std::string& from, const std::string& to)
{
    SystemCalls::Info info;
    std::string target;
    if (SystemCalls::linkStatus(from, info) != 0 || SystemCalls::readLink(from, target) != 0 ||
        SystemCalls::symbolicLink(target, to) != 0)
    {
        return failWithErrno();
    }
    // a link's own times are a nicety; some file systems refuse them
    SystemCalls::setLinkTimes(to, info);
    return true;
}

bool FileSystem::setAttributes(const std::string& path, const Status& attributes)
{
    if (attributes.type != EntryType::Symlink &&
        SystemCalls::changeModeAt(path, attributes.mode) != 0)
    {
        return failWithErrno();
    }
    return succeeded(SystemCalls::setLinkTimes(path, timesOf(attributes)));
}
} // namespace platform

#include "pelvane/base/SafeFiles.h"

#include "platform/AtomicFile.h"
#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

namespace pelvane::safefiles
{
namespace
{
using platform::SystemCalls;
using Type = SystemCalls::Type;

std::string temporarySibling(const std::string& path)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return path + ".pelvane-tmp-" + std::to_string(random() % 100000000ULL);
}

using Descriptor = platform::FileDescriptor;

int copyFile(const std::string& source, const std::string& destination,
             const std::atomic<bool>* cancel)
{
    Descriptor in(SystemCalls::open(source, SystemCalls::OpenMode::ReadNoFollow));
    if (in.get() < 0)
    {
        return errno;
    }
    SystemCalls::Info info;
    if (SystemCalls::status(in.get(), info) != 0)
    {
        return errno;
    }
    Descriptor out(
        SystemCalls::open(destination, SystemCalls::OpenMode::CreateNewNoFollow, info.mode));
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
        const std::int64_t got = SystemCalls::read(in.get(), buffer.data(), buffer.size());
        if (got < 0)
        {
            return errno;
        }
        if (got == 0)
        {
            break;
        }
        if (SystemCalls::writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got)) != 0)
        {
            return errno;
        }
    }
    // a full disk may only show at close on some file systems
    return out.close() ? 0 : errno;
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

bool FolderMemo::has(const std::string& folder) const
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_folders.count(folder) != 0;
}

void FolderMemo::add(const std::string& folder)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    m_folders.insert(folder);
}

namespace
{
// One part of a path made a real folder, or found one.
int makeFolder(const std::string& path, bool replaceBlockers)
{
    SystemCalls::Info info;
    if (SystemCalls::linkStatus(path, info) == 0)
    {
        if (replaceBlockers && info.type != Type::Directory)
        {
            if (SystemCalls::unlink(path) != 0 || SystemCalls::makeDirectory(path, 0755) != 0)
            {
                return errno;
            }
        }
        else if (info.type == Type::Symlink)
        {
            return ELOOP;
        }
        else if (info.type != Type::Directory)
        {
            return ENOTDIR;
        }
    }
    else if (errno != ENOENT || (SystemCalls::makeDirectory(path, 0755) != 0 && errno != EEXIST))
    {
        return errno;
    }
    return 0;
}
} // namespace

int makeDirectories(const std::string& base, const std::string& relativeDir, bool replaceBlockers,
                    FolderMemo* made)
{
    if (made != nullptr && made->has(base + '/' + relativeDir))
    {
        return 0;
    }
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
        if (made == nullptr || !made->has(current))
        {
            if (const int error = makeFolder(current, replaceBlockers))
            {
                return error;
            }
            if (made != nullptr)
            {
                made->add(current);
            }
        }
        start = end + 1;
    }
    return 0;
}

int makeParentDirectories(const std::string& base, const std::string& relativeFile,
                          bool replaceBlockers, FolderMemo* made)
{
    const std::size_t slash = relativeFile.rfind('/');
    if (slash == std::string::npos)
    {
        return 0;
    }
    return makeDirectories(base, relativeFile.substr(0, slash), replaceBlockers, made);
}

int linkOrCopyFile(const std::string& source, const std::string& destination,
                   const std::atomic<bool>* cancel)
{
    const std::string temporary = temporarySibling(destination);
    if (SystemCalls::link(source, temporary) != 0)
    {
        if (const int error = copyFile(source, temporary, cancel))
        {
            SystemCalls::unlink(temporary);
            return error;
        }
    }
    SystemCalls::Info info;
    if (SystemCalls::linkStatus(destination, info) == 0 && info.type == Type::Directory)
    {
        if (const int error = removeTree(destination))
        {
            SystemCalls::unlink(temporary);
            return error;
        }
    }
    if (SystemCalls::rename(temporary, destination) != 0)
    {
        const int error = errno;
        SystemCalls::unlink(temporary);
        return error;
    }
    return 0;
}

int cloneTree(const std::string& source, const std::string& destination,
              const std::atomic<bool>* cancel)
{
    SystemCalls::Info info;
    if (SystemCalls::linkStatus(source, info) != 0)
    {
        return errno;
    }
    if (info.type == Type::Symlink)
    {
        std::string target;
        if (SystemCalls::readLink(source, target) != 0 ||
            SystemCalls::symbolicLink(target, destination) != 0)
        {
            return errno;
        }
        return 0;
    }
    if (info.type == Type::File)
    {
        if (SystemCalls::link(source, destination) == 0)
        {
            return 0;
        }
        return copyFile(source, destination, cancel);
    }
    if (info.type != Type::Directory)
    {
        return 0; // sockets, fifos and devices have no place in an update
    }
    if (SystemCalls::makeDirectory(destination, info.mode) != 0)
    {
        return errno;
    }
    std::vector<SystemCalls::Entry> entries;
    if (SystemCalls::listDirectory(source, entries) != 0)
    {
        return errno;
    }
    for (const SystemCalls::Entry& entry : entries)
    {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
        {
            return ECANCELED;
        }
        if (const int error =
                cloneTree(source + "/" + entry.name, destination + "/" + entry.name, cancel))
        {
            return error;
        }
    }
    return 0;
}

int removeTree(const std::string& path, const std::atomic<bool>* cancel)
{
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
    {
        return ECANCELED;
    }
    SystemCalls::Info info;
    if (SystemCalls::linkStatus(path, info) != 0)
    {
        return errno == ENOENT ? 0 : errno;
    }
    if (info.type != Type::Directory)
    {
        return SystemCalls::unlink(path) == 0 || errno == ENOENT ? 0 : errno;
    }
    std::vector<SystemCalls::Entry> entries;
    if (SystemCalls::listDirectory(path, entries) != 0)
    {
        return errno;
    }
    for (const SystemCalls::Entry& entry : entries)
    {
        if (const int error = removeTree(path + "/" + entry.name, cancel))
        {
            return error;
        }
    }
    return SystemCalls::removeDirectory(path) == 0 || errno == ENOENT ? 0 : errno;
}

int writeFileAtomically(const std::string& path, std::string_view content, unsigned mode,
                        bool durable)
{
    platform::AtomicFile::Options options;
    options.permissions = mode;
    options.durable = durable;
    return platform::AtomicFile::replace(path, content, options) == 0 ? 0 : errno;
}

int regularFileSize(const std::string& path, std::uint64_t& size)
{
    SystemCalls::Info info;
    if (SystemCalls::linkStatus(path, info) != 0)
    {
        return errno;
    }
    if (info.type != Type::File)
    {
        return info.type == Type::Symlink ? ELOOP : EISDIR;
    }
    size = info.size;
    return 0;
}

int makeFolderPath(const std::string& path, unsigned mode)
{
    SystemCalls::Info info;
    if (path.empty() || SystemCalls::pathStatus(path, info) == 0)
    {
        return path.empty() || info.type == Type::Directory ? 0 : ENOTDIR;
    }
    if (errno != ENOENT)
    {
        return errno;
    }
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
    {
        --end;
    }
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash != std::string::npos && slash > 0)
    {
        if (const int error = makeFolderPath(path.substr(0, slash), mode))
        {
            return error;
        }
    }
    return SystemCalls::makeDirectory(path, mode) == 0 || errno == EEXIST ? 0 : errno;
}

int readSmallFile(const std::string& path, std::string& content, std::size_t limit)
{
    content.clear();
    Descriptor in(SystemCalls::open(path, SystemCalls::OpenMode::ReadNonBlockingNoFollow));
    if (in.get() < 0)
    {
        return errno;
    }
    SystemCalls::Info info;
    if (SystemCalls::status(in.get(), info) != 0)
    {
        return errno;
    }
    if (info.type != Type::File)
    {
        return EINVAL;
    }
    if (info.size > limit)
    {
        return EFBIG;
    }
    // the file may still grow while it is read: never more than limit + 1 bytes
    content.reserve(static_cast<std::size_t>(info.size));
    char chunk[4096];
    for (;;)
    {
        const std::size_t room = std::min(sizeof chunk, limit + 1 - content.size());
        const std::int64_t got = SystemCalls::read(in.get(), chunk, room);
        if (got < 0)
        {
            return errno;
        }
        if (got == 0)
        {
            return 0;
        }
        content.append(chunk, static_cast<std::size_t>(got));
        if (content.size() > limit)
        {
            return EFBIG;
        }
    }
}

bool pathExists(const std::string& path)
{
    SystemCalls::Info info;
    return SystemCalls::linkStatus(path, info) == 0;
}
} // namespace pelvane::safefiles

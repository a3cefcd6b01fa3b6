#include "platform/AtomicFile.h"

#include "platform/CrashPoint.h"
#include "platform/SystemCalls.h"

#include <cerrno>

namespace platform
{
std::string AtomicFile::folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
    {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int AtomicFile::replace(const std::string& path, std::string_view bytes, const Options& options,
                        Step* failed)
{
    return replace(
        path, [bytes](int fd) { return SystemCalls::writeAll(fd, bytes.data(), bytes.size()); },
        options, failed);
}

int AtomicFile::replace(const std::string& path, const Filler& fill, const Options& options,
                        Step* failed)
{
    Step ignored = Step::None;
    Step& step = failed != nullptr ? *failed : ignored;
    step = Step::None;
    const std::size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = folderOf(path);
    std::string temporary = folder + "/." + base + ".XXXXXX";
    const int fd = SystemCalls::openTemporary(temporary);
    if (fd < 0)
    {
        step = Step::CreateTemporary;
        return -1;
    }
    int error = 0;
    const auto check = [&error](bool done)
    {
        if (!done && error == 0)
        {
            error = errno;
        }
        return done;
    };
    bool ok = check(SystemCalls::changeMode(fd, options.permissions) == 0);
    if (ok && options.keepOwner)
    {
        // keeps the owner when root edits a user's file; refused otherwise,
        // which changes nothing
        SystemCalls::changeOwner(fd, options.owner, options.group);
    }
    ok = ok && check(fill(fd) == 0) && (!options.durable || check(SystemCalls::sync(fd) == 0));
    // a full disk may show only when the file is closed
    ok = check(SystemCalls::close(fd) == 0) && ok;
    if (ok && options.crashPoint != nullptr)
    {
        crashPoint(options.crashPoint);
    }
    step = ok ? Step::Rename : Step::Write;
    ok = ok && check(SystemCalls::rename(temporary, path) == 0);
    if (!ok)
    {
        SystemCalls::unlink(temporary);
        errno = error;
        return -1;
    }
    // the file is in place; a folder that cannot be flushed (some network
    // file systems) does not undo that
    if (options.durable)
    {
        SystemCalls::syncDirectory(folder);
    }
    step = Step::None;
    return 0;
}
} // namespace platform

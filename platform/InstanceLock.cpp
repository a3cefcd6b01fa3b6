#include "platform/InstanceLock.h"

#include "platform/LastError.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const char* const LOCK_FOLDER_VARIABLE = "QORDOWNLOADER_LOCK_DIR";
// Not the user's TMPDIR: the lock must be the same for every user.
const char* const MACHINE_TEMP_FOLDER = "/tmp";

// Opens the lock file without following a planted link and without blocking
// on a planted FIFO. A file made here gets mode 0644 whatever the umask, so
// that other users can open it read-only, which is all flock needs.
int openLockFile(const std::string& path)
{
    const int common = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | common, 0644);
    if (fd >= 0)
    {
        ::fchmod(fd, 0644);
        return fd;
    }
    if (errno != EEXIST)
    {
        return -1;
    }
    // another user's file in a sticky folder may be opened read-only only
    fd = ::open(path.c_str(), O_RDONLY | common);
    if (fd < 0)
    {
        return -1;
    }
    struct stat info = {};
    const int error = ::fstat(fd, &info) != 0 ? errno : (S_ISREG(info.st_mode) ? 0 : EINVAL);
    if (error != 0)
    {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
} // namespace

namespace platform
{
InstanceLock::~InstanceLock()
{
    close();
}

std::string InstanceLock::lockFolder()
{
    const char* folder = std::getenv(LOCK_FOLDER_VARIABLE);
    return (folder != nullptr && *folder != '\0') ? folder : MACHINE_TEMP_FOLDER;
}

bool InstanceLock::create(const std::string& name)
{
    close();
    if (name.empty() || name.find('/') != std::string::npos)
    {
        setLastError(EINVAL);
        return false;
    }
    const int fd = openLockFile(lockFolder() + "/" + name);
    if (fd < 0)
    {
        return failWithErrno();
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int error = errno;
        ::close(fd);
        setLastError(error == EWOULDBLOCK ? ERROR_ALREADY_EXISTS
                                          : static_cast<unsigned long>(error));
        return false;
    }
    m_fd = fd;
    setLastError(0);
    return true;
}

void InstanceLock::close() noexcept
{
    if (m_fd >= 0)
    {
        ::close(m_fd);
        m_fd = -1;
    }
}
} // namespace platform

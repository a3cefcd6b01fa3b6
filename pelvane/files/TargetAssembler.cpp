#include "pelvane/files/TargetAssembler.h"

#include "platform/CrashPoint.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/files/ExtractLayout.h"

#include "platform/AtomicFile.h"
#include "platform/SystemCalls.h"

#include <cerrno>
#include <cstring>

namespace pelvane
{
using platform::SystemCalls;

TargetAssembler::TargetAssembler(std::string target, const CancelToken& cancel)
    : m_target(std::move(target)), m_cancel(cancel)
{
    while (m_target.size() > 1 && m_target.back() == '/')
    {
        m_target.pop_back();
    }
}

bool TargetAssembler::sameFile(const std::string& first, const std::string& second)
{
    SystemCalls::Info one;
    SystemCalls::Info two;
    return SystemCalls::linkStatus(first, one) == 0 && SystemCalls::linkStatus(second, two) == 0 &&
           one.type == SystemCalls::Type::File && two.type == SystemCalls::Type::File &&
           one.device == two.device && one.inode == two.inode;
}

Outcome TargetAssembler::fail(std::int32_t apiError, int errorNumber, const char* what)
{
    if (errorNumber == ECANCELED || m_cancel.canceled())
    {
        apiError = API_CANCELED;
        errorNumber = 0;
    }
    else
    {
        PELVANE_LOG_ERROR(what << ": " << std::strerror(errorNumber) << " (" << errorNumber << ")");
    }
    safefiles::removeTree(stagingPath());
    return Outcome::failure(apiError, errorNumber);
}

Outcome TargetAssembler::clearLeftovers()
{
    const std::string previous = previousPath();
    if (const int error = safefiles::removeTree(stagingPath()))
    {
        return fail(API_DISK, error, "Cannot clear the staging folder");
    }
    // A run that died between setting Target aside and moving the staging
    // folder in left Target only under the aside name: put it back rather
    // than clear it away with the leftovers.
    if (!safefiles::pathExists(m_target) && safefiles::pathExists(previous) &&
        SystemCalls::rename(previous, m_target) != 0)
    {
        return fail(API_DISK, errno, "Cannot put the old Target back");
    }
    return {};
}

Outcome TargetAssembler::placeFiles(const std::vector<const ManifestVersion*>& versions,
                                    const std::vector<std::string>& versionFolders)
{
    const std::string staging = stagingPath();
    for (std::size_t i = 0; i < versions.size(); ++i)
    {
        const ExtractLayout layout(versionFolders[i]);
        // one version's paths never make a file where another makes a folder;
        // a later version's may, so each starts afresh
        safefiles::FolderMemo made;
        for (const ManifestFile& file : versions[i]->files)
        {
            if (m_cancel.canceled())
            {
                return fail(API_CANCELED, ECANCELED, "Canceled");
            }
            const std::string source = layout.verifiedPath(file.path);
            const std::string placed = staging + "/" + file.path;
            if (sameFile(source, placed))
            {
                // Target already held this very file (a rerun over kept
                // archives): renaming a second link onto it would do nothing
                // and leave the temporary link behind in Target
                continue;
            }
            int error = safefiles::makeParentDirectories(staging, file.path, true, &made);
            if (error == 0)
            {
                error = safefiles::linkOrCopyFile(source, placed, &m_cancel.flag());
            }
            if (error != 0)
            {
                return fail(API_DISK, error, "Cannot place a file in the staging folder");
            }
            platform::crashPoint("assemble-file");
        }
    }
    return {};
}

Outcome TargetAssembler::swapIn(bool targetExists)
{
    const std::string previous = previousPath();
    // The files of the run were written without a flush each: one flush of
    // the file system makes every one of them, and the staging tree, reach
    // the disk before the renames can show them as Target.
    if (SystemCalls::syncFileSystem(stagingPath()) != 0)
    {
        return fail(API_DISK, errno, "Cannot flush the staging folder to the disk");
    }
    // The old Target is set aside first and put back on failure.
    if (targetExists && SystemCalls::rename(m_target, previous) != 0)
    {
        return fail(API_DISK, errno, "Cannot set the old Target aside");
    }
    platform::crashPoint("swap-aside");
    if (SystemCalls::rename(stagingPath(), m_target) != 0)
    {
        const int error = errno;
        if (targetExists)
        {
            SystemCalls::rename(previous, m_target);
        }
        return fail(API_DISK, error, "Cannot move the staging folder to Target");
    }
    platform::crashPoint("swap-in");
    // the renames themselves, before Extract or the old copy goes
    SystemCalls::syncDirectory(platform::AtomicFile::folderOf(m_target));
    if (targetExists)
    {
        if (const int error = safefiles::removeTree(previous))
        {
            PELVANE_LOG_WARN("Cannot remove the old Target copy: " << previous << " errno "
                                                                   << error);
        }
    }
    return {};
}

Outcome TargetAssembler::assemble(const std::vector<const ManifestVersion*>& versions,
                                  const std::vector<std::string>& versionFolders)
{
    if (const Outcome cleared = clearLeftovers(); !cleared.ok())
    {
        return cleared;
    }
    const bool targetExists = safefiles::pathExists(m_target);
    if (const int error = safefiles::removeTree(previousPath()))
    {
        return fail(API_DISK, error, "Cannot clear an old copy of Target");
    }
    const std::string staging = stagingPath();
    const int cloned = targetExists ? safefiles::cloneTree(m_target, staging, &m_cancel.flag())
                                    : (SystemCalls::makeDirectory(staging, 0755) == 0 ? 0 : errno);
    if (cloned != 0)
    {
        return fail(API_DISK, cloned, "Cannot prepare the staging folder");
    }
    platform::crashPoint("assemble-cloned");
    if (const Outcome placed = placeFiles(versions, versionFolders); !placed.ok())
    {
        return placed;
    }
    return swapIn(targetExists);
}
} // namespace pelvane

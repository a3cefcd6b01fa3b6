#include "tools/DirectoryTree.h"

#include "platform/CrashPoint.h"
#include "platform/FileSystem.h"
#include "platform/LastError.h"
#include "platform/TextCodec.h"

#include <atomic>
#include <cerrno>
#include <functional>
#include <random>

using platform::FileSystem;

namespace
{
// The walk works on the bytes of the names as the directory gives them, so
// that a name that does not decode still addresses its own entry.
bool toPath(const std::wstring& path, std::string& narrow)
{
    if (path.empty())
    {
        // would otherwise address the root or the working directory
        platform::setLastError(EINVAL);
        return false;
    }
    return platform::TextCodec::encodePath(path, narrow);
}

std::string childPath(const std::string& parent, const std::string& name)
{
    std::string child;
    child.reserve(parent.size() + 1 + name.size());
    child.append(parent);
    if (child.back() != '/')
    {
        child.push_back('/');
    }
    child.append(name);
    return child;
}

// A name beside target that no one else uses, for a link on its way in.
std::string temporaryBeside(const std::string& target)
{
    static const unsigned long s_run = std::random_device{}();
    static std::atomic<unsigned long> s_counter{0};
    return target + ".qortmp-" + std::to_string(s_run) + "-" + std::to_string(++s_counter);
}

// The path through which a top-level folder is walked: a symbolic link to a
// folder given as the top level is used through that one link (an
// administrator may have placed the folder elsewhere); links inside the tree
// are never followed.
std::string throughTopLevelLink(const std::string& path)
{
    FileSystem::Status own;
    FileSystem::Status target;
    if (FileSystem::status(path, own) && own.type == FileSystem::EntryType::Symlink &&
        FileSystem::targetStatus(path, target) && target.type == FileSystem::EntryType::Directory)
    {
        return childPath(path, ".");
    }
    return path;
}

// Keeps the error of the failure across the clean-up calls after it.
bool failKeepingError(const std::function<void()>& cleanUp)
{
    const unsigned long error = platform::getLastError();
    cleanUp();
    platform::setLastError(error);
    return false;
}

// A folder that cannot be searched holds nothing to erase, as a search that
// finds nothing: below the top it is still removed when empty, and the walk
// goes on. searched tells whether the listing worked.
bool eraseContents(const std::string& directory, bool recursive, bool& searched)
{
    std::vector<FileSystem::Entry> entries;
    searched = FileSystem::listDirectory(directory, entries);
    if (!searched)
    {
        return true;
    }
    for (const auto& entry : entries)
    {
        const std::string child = childPath(directory, entry.name);
        if (entry.type == FileSystem::EntryType::Directory)
        {
            if (!recursive)
            {
                continue;
            }
            bool childSearched = false;
            if (!eraseContents(child, true, childSearched) || !FileSystem::removeDirectory(child))
            {
                return false;
            }
        }
        else if (!FileSystem::removeFile(child))
        {
            return false; // a link is removed itself, never its target
        }
    }
    return true;
}

bool moveNarrow(const std::string& source, const std::string& destination);

// Moves a file or a link to another file system: a complete, flushed copy
// under a temporary name first, renamed into place, and only then the
// source goes.
bool copyThenDelete(const std::string& source, const std::string& destination,
                    FileSystem::EntryType type)
{
    if (type != FileSystem::EntryType::Symlink)
    {
        return FileSystem::replaceWithCopy(source, destination) && FileSystem::removeFile(source);
    }
    // a link cannot be written through a descriptor: made under a temporary
    // name and renamed into place
    const std::string temporary = temporaryBeside(destination);
    if (!FileSystem::copyLink(source, temporary))
    {
        return false;
    }
    if (!FileSystem::rename(temporary, destination))
    {
        return failKeepingError([&] { FileSystem::removeFile(temporary); });
    }
    return FileSystem::removeFile(source);
}

// Moves every entry of the real directory source into the existing
// directory destination, then removes source.
bool mergeInto(const std::string& source, const std::string& destination)
{
    FileSystem::Status sourceStatus;
    FileSystem::Status destinationStatus;
    if (!FileSystem::status(source, sourceStatus) ||
        !FileSystem::status(destination, destinationStatus))
    {
        return false;
    }
    if (sourceStatus.type != FileSystem::EntryType::Directory ||
        destinationStatus.type != FileSystem::EntryType::Directory)
    {
        // nothing to search in a file; and a link is not entered
        platform::setLastError(ENOTDIR);
        return false;
    }
    std::vector<FileSystem::Entry> entries;
    if (!FileSystem::listDirectory(source, entries))
    {
        return false;
    }
    for (const auto& entry : entries)
    {
        const std::string from = childPath(source, entry.name);
        const std::string to = childPath(destination, entry.name);
        if (entry.type == FileSystem::EntryType::Directory)
        {
            if (!moveNarrow(from, to))
            {
                return false;
            }
        }
        else if (!FileSystem::rename(from, to))
        {
            if (platform::getLastError() != EXDEV || entry.type == FileSystem::EntryType::Other ||
                !copyThenDelete(from, to, entry.type))
            {
                return false;
            }
        }
        else if (FileSystem::Status left; FileSystem::status(from, left) && !FileSystem::removeFile(from))
        {
            // a rename between two links of one file does nothing and succeeds;
            // the destination already is that file, so the source link goes
            return false;
        }
        platform::crashPoint("finalize-entry");
    }
    return FileSystem::removeDirectory(source);
}

// The source cannot be renamed to the missing destination because they lie
// on different file systems.
bool moveAcross(const std::string& source, const std::string& destination)
{
    FileSystem::Status status;
    if (!FileSystem::status(source, status))
    {
        return false;
    }
    switch (status.type)
    {
    case FileSystem::EntryType::Directory:
        // owner-only while it fills, the source's mode and times at the end
        if (!FileSystem::makeDirectory(destination, 0700) || !mergeInto(source, destination))
        {
            return false;
        }
        return FileSystem::setAttributes(destination, status);
    case FileSystem::EntryType::File:
    case FileSystem::EntryType::Symlink:
        return copyThenDelete(source, destination, status.type);
    case FileSystem::EntryType::Other:
        break;
    }
    platform::setLastError(EXDEV); // a fifo or device is not carried over
    return false;
}

bool moveNarrow(const std::string& source, const std::string& destination)
{
    FileSystem::Status status;
    if (!FileSystem::status(destination, status))
    {
        if (FileSystem::rename(source, destination))
        {
            return true;
        }
        return platform::getLastError() == EXDEV && moveAcross(source, destination);
    }
    return mergeInto(source, destination);
}
} // namespace

bool pathExists(const std::wstring& path)
{
    std::string narrow;
    FileSystem::Status status;
    return toPath(path, narrow) && FileSystem::status(narrow, status);
}

bool eraseTree(const std::wstring& directory, bool recursive, bool* erased)
{
    if (erased != nullptr)
    {
        *erased = false;
    }
    std::string narrow;
    if (!toPath(directory, narrow))
    {
        return false;
    }
    bool searched = false;
    const bool done = eraseContents(throughTopLevelLink(narrow), recursive, searched);
    if (erased != nullptr)
    {
        *erased = done && searched;
    }
    return done;
}

bool moveTree(const std::wstring& source, const std::wstring& destination)
{
    std::string from;
    std::string to;
    if (!toPath(source, from) || !toPath(destination, to))
    {
        return false;
    }
    return moveNarrow(from, throughTopLevelLink(to));
}

// The one way the program and the library replace a file: the new contents
// go to a temporary file beside it (".<name>.XXXXXX"), which is flushed to
// the disk, renamed over the old file, and the folder is flushed so that the
// rename itself survives a power cut (unless the caller asks for the replace
// only, for a file whose loss costs nothing). A failure at any step leaves the old
// file as it was and removes the temporary file. All I/O goes through
// SystemCalls, so tests reach every failure with its fault hook.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform
{
class AtomicFile
{
public:
    struct Options
    {
        unsigned int permissions = 0644;
        // when set, the new file is given this owner and group (only root
        // can; refused silently otherwise)
        bool keepOwner = false;
        unsigned int owner = 0;
        unsigned int group = 0;
        // a named point between the flushed temporary file and its rename,
        // where the crash-consistency tests stop the process
        const char* crashPoint = nullptr;
        // false: no flush of the file or the folder; a power cut may leave
        // the old file, the new one, or an empty one
        bool durable = true;
    };
    // Writes the temporary file through its descriptor; 0, or -1 with errno.
    using Filler = std::function<int(int fd)>;

    // The step a failure came from.
    enum class Step
    {
        None,
        CreateTemporary, // the folder took no new file
        Write,           // mode, contents, flush or close of the temporary file
        Rename,
    };
    // 0, or -1 with errno set by the step that failed (told in failed).
    static int replace(const std::string& path, std::string_view bytes, const Options& options,
                       Step* failed = nullptr);
    static int replace(const std::string& path, const Filler& fill, const Options& options,
                       Step* failed = nullptr);

    // The folder part of path ("." for a bare name).
    static std::string folderOf(const std::string& path);
};
} // namespace platform

// Runs the files of one update a few at a time, each on a lane (a set of
// fetchers of its own), and keeps what the caller sees as if they ran one
// after the other:
// - progress: the update's bytes are the sum over its files, each counted up
//   to its planned bytes, so the blocks grow with every file in flight and
//   end exactly at the update's count;
// - the log: one file's lines together, in the files' order (OrderedLog);
// - failure: the first file that fails stops the others (their transfers
//   end within the cancel time, partial files stay for resuming) and no
//   new file starts; when several fail before they stop, the earliest file
//   of the update names the outcome, and a stop that the failure caused is
//   never the outcome.
// A file whose chunks are read from other files of the update starts after
// they are done (or, for one that needs only a part of another's bytes, once
// that part is there); while it waits, a free lane takes the next file that is
// ready, so that files needing nothing run beside the one they wait for. Lane 0 is the calling thread's: with fewer than two
// parallel lanes, or one file, the files run there one after the other.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/base/Outcome.h"
#include "pelvane/session/ProgressState.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace pelvane
{
class FileScheduler
{
public:
    struct File
    {
        std::uint64_t plannedBytes = 0;
        std::vector<std::size_t> after; // files of the list that must be done first
        // The one file of `after` that this one reads only a part of: it
        // may start before that file is done once `early` says the part is
        // there (asked while lanes look for work, and after each wake()).
        std::optional<std::size_t> earlyAfter{};
        std::function<bool()> early{};
    };
    // What a file's work tells about its bytes.
    struct Report
    {
        std::function<void(std::uint64_t bytesOfFile)> progress;
        std::function<void(std::uint64_t extraBytes)> extra; // beyond the plan
    };
    using Work = std::function<Outcome(std::size_t lane, std::size_t file, const Report& report)>;

    FileScheduler(CancelToken& cancel, ProgressState& progress);

    // Canceled with the caller's token, or when a file failed: the token of
    // every lane's transfers.
    const CancelToken& stop() const { return m_stop; }

    // The files in order, on lanes 1 to `parallelLanes` (or lane 0); the
    // update's progress must have been begun (ProgressState::setUpdate)
    // with the files' planned bytes. Without `counted`, for work that the
    // progress does not count (metadata), the progress is left alone.
    Outcome run(const std::vector<File>& files, std::size_t parallelLanes, const Work& work,
                bool counted = true);
    // Something a file's `early` looks at has changed: waiting lanes look again.
    void wake();

private:
    CancelToken m_stop;
    std::mutex m_mutex; // what the lanes of run() share
    std::condition_variable m_changed;
    ProgressState& m_progress;
};
} // namespace pelvane

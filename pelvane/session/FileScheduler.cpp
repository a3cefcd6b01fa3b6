#include "pelvane/session/FileScheduler.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace pelvane
{
namespace
{
// A lane waiting for the files it reads from looks at the stop this often.
constexpr std::chrono::milliseconds WAIT_STEP{50};

// The bytes of the update in progress: each file counts up to its planned
// bytes, so that a file that brings more (or starts over) never counts
// another's share.
class UpdateBytes
{
public:
    UpdateBytes(const std::vector<FileScheduler::File>& files, ProgressState* progress)
        : m_progress(progress), m_done(files.size(), 0)
    {
        for (const FileScheduler::File& file : files)
        {
            m_planned.push_back(file.plannedBytes);
            m_total += file.plannedBytes;
        }
    }
    void progress(std::size_t file, std::uint64_t bytesOfFile)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        set(file, std::min(bytesOfFile, m_planned[file]));
    }
    void extra(std::size_t file, std::uint64_t bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_planned[file] += bytes;
        m_total += bytes;
        if (m_progress != nullptr)
        {
            m_progress->setBlockCount(ProgressState::blocksFor(m_total));
        }
    }
    void finished(std::size_t file)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        set(file, m_planned[file]);
    }
    void complete()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_progress != nullptr)
        {
            m_progress->setBlock(ProgressState::blocksFor(m_total));
        }
    }

private:
    void set(std::size_t file, std::uint64_t bytes)
    {
        m_sum = m_sum - m_done[file] + bytes;
        m_done[file] = bytes;
        if (m_progress != nullptr)
        {
            m_progress->setBytesDone(m_sum);
        }
    }

    ProgressState* m_progress; // none: not counted
    std::mutex m_mutex;
    std::vector<std::uint64_t> m_planned;
    std::vector<std::uint64_t> m_done;
    std::uint64_t m_total = 0;
    std::uint64_t m_sum = 0;
};

FileScheduler::Report reportFor(UpdateBytes& bytes, std::size_t file)
{
    return FileScheduler::Report{[&bytes, file](std::uint64_t done) { bytes.progress(file, done); },
                                 [&bytes, file](std::uint64_t more) { bytes.extra(file, more); }};
}
} // namespace

FileScheduler::FileScheduler(CancelToken& cancel, ProgressState& progress)
    : m_stop(cancel), m_progress(progress)
{
}

void FileScheduler::wake()
{
    {
        // a lane between its look and its wait cannot miss this
        const std::lock_guard<std::mutex> lock(m_mutex);
    }
    m_changed.notify_all();
}

Outcome FileScheduler::run(const std::vector<File>& files, std::size_t parallelLanes,
                           const Work& work, bool counted)
{
    UpdateBytes bytes(files, counted ? &m_progress : nullptr);
    if (parallelLanes <= 1 || files.size() <= 1)
    {
        for (std::size_t file = 0; file < files.size(); ++file)
        {
            if (const Outcome result = work(0, file, reportFor(bytes, file)); !result.ok())
            {
                return result;
            }
            bytes.finished(file);
        }
        bytes.complete();
        return {};
    }

    std::mutex& mutex = m_mutex;
    std::condition_variable& fileDone = m_changed;
    std::size_t next = 0; // the first file not started
    std::vector<bool> started(files.size(), false);
    std::vector<bool> done(files.size(), false);
    std::optional<std::pair<std::size_t, Outcome>> failure; // the file and its outcome
    const auto ready = [&](std::size_t file)
    {
        const File& task = files[file];
        return std::all_of(task.after.begin(), task.after.end(),
                           [&](std::size_t before)
                           {
                               return before >= file || done[before] ||
                                      (task.earlyAfter == before && task.early && task.early());
                           });
    };
    const auto record = [&](std::size_t file, const Outcome& result)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (result.ok())
        {
            done[file] = true;
        }
        else if (!failure)
        {
            // a cancel before any failure is the caller's
            failure.emplace(file, result);
        }
        else if (!result.is(API_CANCELED) && !failure->second.is(API_CANCELED) &&
                 file < failure->first)
        {
            failure.emplace(file, result);
        }
        if (failure)
        {
            m_stop.cancel();
        }
        fileDone.notify_all();
    };

    OrderedLog log(files.size());
    const auto lane = [&](std::size_t laneIndex)
    {
        for (;;)
        {
            std::size_t file = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                // the first file that may start: one waiting for others
                // holds no lane while later files are ready
                for (;;)
                {
                    while (next < files.size() && started[next])
                    {
                        ++next;
                    }
                    if (failure || next >= files.size() || m_stop.canceled())
                    {
                        return;
                    }
                    file = next;
                    while (file < files.size() && (started[file] || !ready(file)))
                    {
                        ++file;
                    }
                    if (file < files.size())
                    {
                        break;
                    }
                    fileDone.wait_for(lock, WAIT_STEP);
                }
                started[file] = true;
            }
            Outcome result;
            try
            {
                const OrderedLog::Item item(log, file);
                result = work(laneIndex, file, reportFor(bytes, file));
            }
            catch (...)
            {
                result = Outcome::internal();
            }
            if (result.ok())
            {
                bytes.finished(file);
            }
            record(file, result);
        }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min(parallelLanes, files.size());
    try
    {
        for (std::size_t laneIndex = 1; laneIndex <= count; ++laneIndex)
        {
            threads.emplace_back(lane, laneIndex);
        }
    }
    catch (...)
    {
        record(files.size(), Outcome::internal()); // no thread: stop the others
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    if (failure)
    {
        return failure->second;
    }
    if (!std::all_of(done.begin(), done.end(), [](bool is) { return is; }))
    {
        return Outcome::canceled(); // lanes that saw the cancel before their next file
    }
    bytes.complete();
    return {};
}
} // namespace pelvane

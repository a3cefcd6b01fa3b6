#include "publisher/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace publisher
{
unsigned workerCount()
{
    return std::max(1U, std::thread::hardware_concurrency());
}

void runInParallel(std::size_t count, const std::function<void(std::size_t)>& task,
                   unsigned workers)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first;
    std::mutex firstLock;
    const auto work = [&]()
    {
        for (std::size_t i = next++; i < count && !failed; i = next++)
        {
            try
            {
                task(i);
            }
            catch (...)
            {
                const std::lock_guard<std::mutex> lock(firstLock);
                if (!first)
                {
                    first = std::current_exception();
                }
                failed = true;
            }
        }
    };
    const std::size_t threads = std::min<std::size_t>(std::max(1U, workers), count);
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < threads; ++i)
    {
        pool.emplace_back(work);
    }
    work();
    for (std::thread& thread : pool)
    {
        thread.join();
    }
    if (first)
    {
        std::rethrow_exception(first);
    }
}
} // namespace publisher

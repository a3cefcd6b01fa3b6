#include "pelvane/net/TransferPool.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/TransferLimits.h"

#include <algorithm>

namespace pelvane
{
namespace
{
// How often running and waiting transfers are looked at for cancel, stall
// and rate; libcurl's own timers wake the loop sooner when they are due.
constexpr int WATCH_INTERVAL_MS = 40;
constexpr int IDLE_WAIT_MS = 1000;

// "https://host:port" of a URL: the transfers that may share connections.
std::string originOf(const std::string& url)
{
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos)
    {
        return url;
    }
    return url.substr(0, url.find('/', scheme + 3));
}
} // namespace

TransferPool::TransferPool(int connections)
    : m_connections(std::clamp(connections, 1, static_cast<int>(TransferLimits::MAX_CONNECTIONS)))
{
    if (CURLM* multi = m_multi.get())
    {
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(m_connections));
        // idle connections stay for the next files, also those to a second mirror
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(2 * m_connections));
        m_engine = std::thread([this] { engineLoop(); });
    }
}

TransferPool::~TransferPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    if (m_engine.joinable())
    {
        curl_multi_wakeup(m_multi.get());
        m_engine.join();
    }
    const Counts counts = this->counts();
    if (counts.transfers > 0)
    {
        PELVANE_LOG_INFO("Transfers: " << counts.transfers << " over " << counts.connections
                                       << " connection(s)"
                                       << (counts.multiplexed ? ", multiplexed (HTTP/2)" : ""));
    }
}

TransferPool::Counts TransferPool::counts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

TransferPool::Ended TransferPool::run(CURL* easy, const std::string& url, Transfer& transfer)
{
    if (!m_engine.joinable())
    {
        return Ended{false, CURLE_FAILED_INIT};
    }
    Job job;
    job.easy = easy;
    job.origin = originOf(url);
    job.transfer = &transfer;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.push_back(&job);
    lock.unlock();
    curl_multi_wakeup(m_multi.get());
    lock.lock();
    m_finished.wait(lock, [&job] { return job.done; });
    return job.ended;
}

void TransferPool::finish(Job& job, Ended ended)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        job.ended = ended;
        job.done = true;
    }
    m_finished.notify_all();
}

void TransferPool::startQueued()
{
    std::vector<Job*> ended;
    std::vector<Job*> started;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_queue.begin(); it != m_queue.end();)
        {
            Job* job = *it;
            if (job->transfer->canceled())
            {
                it = m_queue.erase(it);
                ended.push_back(job);
                continue;
            }
            const Origin& origin = m_origins[job->origin];
            // HTTP/1.1 carries one transfer per connection
            const int room = origin.multiplexed ? maxTransfers() : m_connections;
            if (static_cast<int>(m_running.size() + started.size()) >= maxTransfers() ||
                origin.inFlight + static_cast<int>(std::count_if(
                                      started.begin(), started.end(),
                                      [job](const Job* other)
                                      { return other->origin == job->origin; })) >= room)
            {
                ++it;
                continue;
            }
            it = m_queue.erase(it);
            started.push_back(job);
        }
    }
    for (Job* job : ended)
    {
        finish(*job, Ended{true, CURLE_OK});
    }
    const auto now = Clock::now();
    for (Job* job : started)
    {
        job->transfer->begin(now);
        if (curl_multi_add_handle(m_multi.get(), job->easy) != CURLM_OK)
        {
            finish(*job, Ended{false, CURLE_FAILED_INIT});
            continue;
        }
        ++m_origins[job->origin].inFlight;
        m_running.push_back(job);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts.transfers;
    }
}

void TransferPool::release(Job& job)
{
    curl_multi_remove_handle(m_multi.get(), job.easy);
    long connects = 0;
    curl_easy_getinfo(job.easy, CURLINFO_NUM_CONNECTS, &connects);
    --m_origins[job.origin].inFlight;
    m_running.erase(std::find(m_running.begin(), m_running.end(), &job));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counts.connections += static_cast<std::uint64_t>(connects);
}

void TransferPool::collectDone()
{
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &queued))
    {
        if (message->msg != CURLMSG_DONE)
        {
            continue;
        }
        CURL* easy = message->easy_handle;
        const CURLcode code = message->data.result; // the message dies with the removal
        const auto found = std::find_if(m_running.begin(), m_running.end(),
                                        [easy](const Job* job) { return job->easy == easy; });
        if (found == m_running.end())
        {
            continue;
        }
        Job& job = **found;
        long version = 0;
        curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
        if (version >= CURL_HTTP_VERSION_2_0)
        {
            m_origins[job.origin].multiplexed = true;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_counts.multiplexed = true;
        }
        release(job);
        finish(job, Ended{false, code});
    }
}

void TransferPool::watchRunning()
{
    const auto now = Clock::now();
    const std::vector<Job*> running = m_running;
    for (Job* job : running)
    {
        if (!job->transfer->keepGoing(now))
        {
            release(*job);
            finish(*job, Ended{true, CURLE_OK});
        }
    }
}

void TransferPool::engineLoop()
{
    CURLM* multi = m_multi.get();
    for (;;)
    {
        startQueued();
        bool waiting = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping && m_queue.empty() && m_running.empty())
            {
                return;
            }
            waiting = !m_queue.empty();
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
        {
            const std::vector<Job*> failed = m_running;
            for (Job* job : failed)
            {
                release(*job);
                finish(*job, Ended{false, CURLE_FAILED_INIT});
            }
        }
        collectDone();
        watchRunning();
        curl_multi_poll(multi, nullptr, 0,
                        m_running.empty() && !waiting ? IDLE_WAIT_MS : WATCH_INTERVAL_MS, nullptr);
    }
}
} // namespace pelvane

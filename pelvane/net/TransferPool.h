// The connections of one run, shared by its parallel transfers: one libcurl
// multi handle driven by a thread of its own. A transfer's thread configures
// its easy handle as for a single transfer, hands it over with run() and
// waits; the easy handle's callbacks then run on the pool's thread. Where a
// server speaks HTTP/2 (ALPN over https) the transfers share one connection
// as streams; where it speaks HTTP/1.1 each transfer in flight has a
// connection of its own, at most `connections` to a server. Until a server
// has shown HTTP/2 it is taken for one that does not multiplex. A transfer
// is watched for cancel, stall and its limits as a single one is (through
// Transfer); its clocks start when it leaves the queue, not when it is
// handed over, and a cancel also ends it while it waits in the queue.
#pragma once

#include "pelvane/net/CurlEasy.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelvane
{
class TransferPool
{
public:
    using Clock = std::chrono::steady_clock;
    // Streams in flight per connection of a server that multiplexes.
    static constexpr int STREAMS_PER_CONNECTION = 4;

    // What the pool asks of a transfer it carries. canceled() is asked on
    // the pool's thread while the transfer waits, begin() and keepGoing()
    // while it runs, on the thread that runs its callbacks.
    class Transfer
    {
    public:
        virtual ~Transfer() = default;
        virtual bool canceled() const = 0;
        virtual void begin(Clock::time_point now) = 0;
        // false ends the transfer; the transfer knows why
        virtual bool keepGoing(Clock::time_point now) = 0;
    };
    struct Ended
    {
        bool stopped = false; // keepGoing() said no, or canceled in the queue
        CURLcode code = CURLE_OK;
    };

    // `connections`: per server, 1 to TransferLimits::MAX_CONNECTIONS.
    explicit TransferPool(int connections);
    ~TransferPool();
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;

    int connections() const { return m_connections; }
    // The most transfers in flight at once: more than the connections only
    // where HTTP/2 carries several on one.
    int maxTransfers() const { return m_connections * STREAMS_PER_CONNECTION; }

    // Runs the configured `easy` for `url` to its end. Thread-safe; never
    // call it from a transfer's callback.
    Ended run(CURL* easy, const std::string& url, Transfer& transfer);

    struct Counts
    {
        std::uint64_t transfers = 0;
        std::uint64_t connections = 0; // opened
        bool multiplexed = false;      // some server spoke HTTP/2
    };
    Counts counts() const;

private:
    struct Job
    {
        CURL* easy = nullptr;
        std::string origin;
        Transfer* transfer = nullptr;
        Ended ended;
        bool done = false;
    };
    struct Origin
    {
        bool multiplexed = false;
        int inFlight = 0;
    };
    void engineLoop();
    void startQueued();
    // Takes a started job out of the multi handle.
    void release(Job& job);
    void finish(Job& job, Ended ended);
    void collectDone();
    void watchRunning();

    const int m_connections;
    CurlMulti m_multi;
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::deque<Job*> m_queue; // guarded by m_mutex
    bool m_stopping = false;  // guarded by m_mutex
    Counts m_counts;          // guarded by m_mutex
    // the engine's own
    std::vector<Job*> m_running;
    std::map<std::string, Origin> m_origins;
    std::thread m_engine;
};
} // namespace pelvane

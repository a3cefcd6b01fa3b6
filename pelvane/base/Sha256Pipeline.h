// SHA-256 of a download computed beside it: bytes are copied into 1 MiB
// chunks that a helper thread hashes while the next bytes arrive, so that
// hashing does not slow a fast transfer down. At most MAX_QUEUED chunks wait,
// which bounds the memory; a small file never starts the thread at all.
#pragma once

#include "pelvane/base/Sha256.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelvane
{
class Sha256Pipeline : public DigestInput
{
public:
    static constexpr std::size_t CHUNK_BYTES = 1024 * 1024;
    static constexpr std::size_t MAX_QUEUED = 6;

    Sha256Pipeline() = default;
    ~Sha256Pipeline() override;
    Sha256Pipeline(const Sha256Pipeline&) = delete;
    Sha256Pipeline& operator=(const Sha256Pipeline&) = delete;

    void update(const void* data, std::size_t size) override;
    // Forgets everything hashed so far.
    void reset();
    // Waits for the helper and gives the digest of everything since reset().
    std::string finishHex();

private:
    void enqueue();
    void stopHelper();
    void helperLoop();

    Sha256 m_digest; // the helper's while it runs
    std::vector<char> m_filling;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<char>> m_queue;
    std::vector<std::vector<char>> m_spare; // hashed chunks, reused
    bool m_closing = false;
    std::thread m_helper;
};
} // namespace pelvane

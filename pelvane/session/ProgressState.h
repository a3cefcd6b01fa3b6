// The five values of getStatusUpdInter, written by the download thread (and
// the threads of its parallel transfers) and read by any thread at any time
// without a lock: one relaxed load each.
#pragma once

#include <atomic>
#include <cstdint>

namespace pelvane
{
class ProgressState
{
public:
    static constexpr std::uint64_t BLOCK_BYTES = 64U * 1024U;

    static std::int32_t blocksFor(std::uint64_t bytes);

    void begin(std::int32_t nbUpdate, std::int32_t nbBlockOfFirst);
    // Idle with every counter at 0, as before any download.
    void clear();
    void setUpdate(std::int32_t currentUpdate, std::int32_t nbBlock);
    // The blocks done within the current update; they only grow.
    void setBytesDone(std::uint64_t bytesOfUpdate);
    // The current update needs more blocks than planned (a fallback).
    void setBlockCount(std::int32_t nbBlock)
    {
        m_nbBlock.store(nbBlock, std::memory_order_relaxed);
    }
    void setBlock(std::int32_t currentBlock);
    void setStatus(std::int32_t status) { m_status.store(status, std::memory_order_release); }
    std::int32_t status() const { return m_status.load(std::memory_order_acquire); }

    void read(std::int32_t* status, std::int32_t* nbUpdate, std::int32_t* currentUpdate,
              std::int32_t* nbBlock, std::int32_t* currentBlock) const;

private:
    std::atomic<std::int32_t> m_status{0};
    std::atomic<std::int32_t> m_nbUpdate{0};
    std::atomic<std::int32_t> m_currentUpdate{0};
    std::atomic<std::int32_t> m_nbBlock{0};
    std::atomic<std::int32_t> m_currentBlock{0};
};
} // namespace pelvane

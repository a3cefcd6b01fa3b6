#include "pelvane/session/ProgressState.h"

#include "pelvane/base/PelvaneErrors.h"

#include <algorithm>
#include <limits>

namespace pelvane
{
std::int32_t ProgressState::blocksFor(std::uint64_t bytes)
{
    const std::uint64_t blocks =
        std::max<std::uint64_t>(1, (bytes + BLOCK_BYTES - 1) / BLOCK_BYTES);
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>(blocks, std::numeric_limits<std::int32_t>::max()));
}

void ProgressState::begin(std::int32_t nbUpdate, std::int32_t nbBlockOfFirst)
{
    m_nbUpdate.store(nbUpdate, std::memory_order_relaxed);
    m_currentUpdate.store(1, std::memory_order_relaxed);
    m_nbBlock.store(nbBlockOfFirst, std::memory_order_relaxed);
    m_currentBlock.store(0, std::memory_order_relaxed);
    m_status.store(STATUS_WORKING, std::memory_order_release);
}

void ProgressState::clear()
{
    m_status.store(STATUS_IDLE, std::memory_order_release);
    m_nbUpdate.store(0, std::memory_order_relaxed);
    m_currentUpdate.store(0, std::memory_order_relaxed);
    m_nbBlock.store(0, std::memory_order_relaxed);
    m_currentBlock.store(0, std::memory_order_relaxed);
}

void ProgressState::setUpdate(std::int32_t currentUpdate, std::int32_t nbBlock)
{
    // block first, so a reader never sees the new count with the old blocks done
    m_currentBlock.store(0, std::memory_order_relaxed);
    m_nbBlock.store(nbBlock, std::memory_order_relaxed);
    m_currentUpdate.store(currentUpdate, std::memory_order_relaxed);
}

void ProgressState::setBytesDone(std::uint64_t bytesOfUpdate)
{
    const std::int32_t nbBlock = m_nbBlock.load(std::memory_order_relaxed);
    const auto blocks = static_cast<std::int32_t>(std::min<std::uint64_t>(
        bytesOfUpdate / BLOCK_BYTES, static_cast<std::uint64_t>(nbBlock)));
    // Never back: parallel files report in any order, and a file that
    // starts over does not undo the blocks shown; the end of the update
    // sets the exact count.
    std::int32_t shown = m_currentBlock.load(std::memory_order_relaxed);
    while (shown < blocks &&
           !m_currentBlock.compare_exchange_weak(shown, blocks, std::memory_order_relaxed))
    {
    }
}

void ProgressState::setBlock(std::int32_t currentBlock)
{
    m_currentBlock.store(currentBlock, std::memory_order_relaxed);
}

void ProgressState::read(std::int32_t* status, std::int32_t* nbUpdate, std::int32_t* currentUpdate,
                         std::int32_t* nbBlock, std::int32_t* currentBlock) const
{
    *status = m_status.load(std::memory_order_acquire);
    *nbUpdate = m_nbUpdate.load(std::memory_order_relaxed);
    *currentUpdate = m_currentUpdate.load(std::memory_order_relaxed);
    *nbBlock = m_nbBlock.load(std::memory_order_relaxed);
    *currentBlock = m_currentBlock.load(std::memory_order_relaxed);
}
} // namespace pelvane

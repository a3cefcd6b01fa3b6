#include "pelvane/base/Sha256Pipeline.h"

#include <cstring>

namespace pelvane
{
Sha256Pipeline::~Sha256Pipeline()
{
    stopHelper();
}

void Sha256Pipeline::update(const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        if (m_filling.capacity() < CHUNK_BYTES)
        {
            m_filling.reserve(CHUNK_BYTES);
        }
        const std::size_t room = CHUNK_BYTES - m_filling.size();
        const std::size_t taken = size < room ? size : room;
        m_filling.insert(m_filling.end(), bytes, bytes + taken);
        bytes += taken;
        size -= taken;
        if (m_filling.size() == CHUNK_BYTES)
        {
            enqueue();
        }
    }
}

void Sha256Pipeline::enqueue()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_helper.joinable())
    {
        m_closing = false;
        m_helper = std::thread([this] { helperLoop(); });
    }
    m_changed.wait(lock, [this] { return m_queue.size() < MAX_QUEUED; });
    m_queue.push_back(std::move(m_filling));
    if (!m_spare.empty())
    {
        m_filling = std::move(m_spare.back());
        m_spare.pop_back();
    }
    else
    {
        m_filling = {};
    }
    m_filling.clear();
    m_changed.notify_all();
}

void Sha256Pipeline::helperLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;)
    {
        m_changed.wait(lock, [this] { return !m_queue.empty() || m_closing; });
        if (m_queue.empty())
        {
            return;
        }
        std::vector<char> chunk = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        m_digest.update(chunk.data(), chunk.size());
        lock.lock();
        if (m_spare.size() < 2)
        {
            m_spare.push_back(std::move(chunk));
        }
        m_changed.notify_all();
    }
}

void Sha256Pipeline::stopHelper()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
    if (m_helper.joinable())
    {
        m_helper.join(); // hashes what is queued first; the queue is short
    }
}

void Sha256Pipeline::reset()
{
    stopHelper();
    m_queue.clear();
    m_filling.clear();
    m_digest.reset();
}

std::string Sha256Pipeline::finishHex()
{
    stopHelper();
    m_digest.update(m_filling.data(), m_filling.size());
    m_filling.clear();
    return m_digest.finishHex();
}
} // namespace pelvane

#include "pelvane/base/PelvaneLog.h"

namespace pelvane
{
namespace
{
thread_local OrderedLog::Item* t_item = nullptr;
} // namespace

const log4cxx::LoggerPtr& libraryLogger()
{
    static const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("QorDownloader.Pelvane");
    return logger;
}

void logLine(const log4cxx::LoggerPtr& logger, const log4cxx::LevelPtr& level,
             const std::string& message, const log4cxx::spi::LocationInfo& location)
{
    if (t_item == nullptr)
    {
        logger->forcedLog(level, message, location);
        return;
    }
    t_item->m_log.write(t_item->m_index, OrderedLog::Held{logger, level, message, location});
}

OrderedLog::OrderedLog(std::size_t items) : m_held(items), m_done(items, false) {}

OrderedLog::~OrderedLog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t index = m_head; index < m_held.size(); ++index)
    {
        flush(index);
    }
}

OrderedLog::Item::Item(OrderedLog& log, std::size_t index)
    : m_log(log), m_index(index), m_outer(t_item)
{
    t_item = this;
}

OrderedLog::Item::~Item()
{
    t_item = m_outer;
    m_log.done(m_index);
}

void OrderedLog::write(std::size_t index, Held line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index == m_head)
    {
        line.logger->forcedLog(line.level, line.message, line.location);
        return;
    }
    m_held[index].push_back(std::move(line));
}

void OrderedLog::done(std::size_t index)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done[index] = true;
    while (m_head < m_done.size() && m_done[m_head])
    {
        ++m_head;
        if (m_head < m_held.size())
        {
            flush(m_head);
        }
    }
}

void OrderedLog::flush(std::size_t index)
{
    for (const Held& line : m_held[index])
    {
        line.logger->forcedLog(line.level, line.message, line.location);
    }
    m_held[index].clear();
}
} // namespace pelvane

// The library logs under the child logger "QorDownloader.Pelvane", so it
// follows whatever configuration the host program gave log4cxx. The library
// never configures log4cxx itself.
#pragma once

#include <log4cxx/logger.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace pelvane
{
const log4cxx::LoggerPtr& libraryLogger();

// Writes one line, or holds it for the ordered log the calling thread works for.
void logLine(const log4cxx::LoggerPtr& logger, const log4cxx::LevelPtr& level,
             const std::string& message, const log4cxx::spi::LocationInfo& location);

// The lines of work items that run in parallel, in the order of the items,
// as if they had run one after the other: the first item not yet done
// writes its lines at once, the others hold theirs until every item before
// them is done. A thread's lines go to the item it works on (Item) and
// straight to the log otherwise.
class OrderedLog
{
public:
    explicit OrderedLog(std::size_t items);
    // writes what is still held, in order
    ~OrderedLog();
    OrderedLog(const OrderedLog&) = delete;
    OrderedLog& operator=(const OrderedLog&) = delete;

    // The calling thread works on item `index` while it lives; then the item is done.
    class Item
    {
    public:
        Item(OrderedLog& log, std::size_t index);
        ~Item();
        Item(const Item&) = delete;
        Item& operator=(const Item&) = delete;

    private:
        friend void logLine(const log4cxx::LoggerPtr&, const log4cxx::LevelPtr&,
                            const std::string&, const log4cxx::spi::LocationInfo&);
        OrderedLog& m_log;
        std::size_t m_index;
        Item* m_outer;
    };

private:
    friend void logLine(const log4cxx::LoggerPtr&, const log4cxx::LevelPtr&, const std::string&,
                        const log4cxx::spi::LocationInfo&);
    struct Held
    {
        log4cxx::LoggerPtr logger;
        log4cxx::LevelPtr level;
        std::string message;
        log4cxx::spi::LocationInfo location;
    };
    void write(std::size_t index, Held line);
    void done(std::size_t index);
    void flush(std::size_t index); // with m_mutex held

    std::mutex m_mutex;
    std::size_t m_head = 0; // the first item not done
    std::vector<std::vector<Held>> m_held;
    std::vector<bool> m_done;
};
} // namespace pelvane

#define PELVANE_LOG_AT(isEnabledFn, levelFn, message)                                              \
    do                                                                                             \
    {                                                                                              \
        const ::log4cxx::LoggerPtr& pelvaneLogger_ = ::pelvane::libraryLogger();                   \
        if (pelvaneLogger_ && pelvaneLogger_->isEnabledFn())                                       \
        {                                                                                          \
            ::log4cxx::helpers::MessageBuffer pelvaneBuffer_;                                      \
            ::pelvane::logLine(pelvaneLogger_, ::log4cxx::Level::levelFn(),                        \
                               pelvaneBuffer_.str(pelvaneBuffer_ << message), LOG4CXX_LOCATION);   \
        }                                                                                          \
    } while (0)

#define PELVANE_LOG_TRACE(message) PELVANE_LOG_AT(isTraceEnabled, getTrace, message)
#define PELVANE_LOG_INFO(message) PELVANE_LOG_AT(isInfoEnabled, getInfo, message)
#define PELVANE_LOG_WARN(message) PELVANE_LOG_AT(isWarnEnabled, getWarn, message)
#define PELVANE_LOG_ERROR(message) PELVANE_LOG_AT(isErrorEnabled, getError, message)

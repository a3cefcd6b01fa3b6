// The library logs under the child logger "QorDownloader.Pelvane", so it
// follows whatever configuration the host program gave log4cxx. The library
// never configures log4cxx itself.
#pragma once

#include <log4cxx/logger.h>

namespace pelvane
{
const log4cxx::LoggerPtr& libraryLogger();
}

#define PELVANE_LOG_AT(isEnabledFn, levelFn, message)                                              \
    do                                                                                             \
    {                                                                                              \
        const ::log4cxx::LoggerPtr& pelvaneLogger_ = ::pelvane::libraryLogger();                   \
        if (pelvaneLogger_ && pelvaneLogger_->isEnabledFn())                                       \
        {                                                                                          \
            ::log4cxx::helpers::MessageBuffer pelvaneBuffer_;                                      \
            pelvaneLogger_->forcedLog(::log4cxx::Level::levelFn(),                                 \
                                      pelvaneBuffer_.str(pelvaneBuffer_ << message),               \
                                      LOG4CXX_LOCATION);                                           \
        }                                                                                          \
    } while (0)

#define PELVANE_LOG_TRACE(message) PELVANE_LOG_AT(isTraceEnabled, getTrace, message)
#define PELVANE_LOG_INFO(message) PELVANE_LOG_AT(isInfoEnabled, getInfo, message)
#define PELVANE_LOG_WARN(message) PELVANE_LOG_AT(isWarnEnabled, getWarn, message)
#define PELVANE_LOG_ERROR(message) PELVANE_LOG_AT(isErrorEnabled, getError, message)

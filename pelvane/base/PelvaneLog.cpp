#include "pelvane/base/PelvaneLog.h"

namespace pelvane
{
const log4cxx::LoggerPtr& libraryLogger()
{
    static const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("QorDownloader.Pelvane");
    return logger;
}
} // namespace pelvane

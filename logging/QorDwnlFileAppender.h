// A FileAppender whose File option is a conversion pattern, rendered into the
// real file name when the file is opened: "QorDownloader_%d{yyyyMMdd_HHmmss}.log"
// gives every run a file of its own. Selected in the XML configuration by the
// class name "QorDwnlFileAppender".
//
// Beyond FileAppender's options it takes MaxLogFiles (default 30): once its
// file is open it keeps the newest that many regular files of the folder
// whose names fit the File pattern (every conversion standing for any text)
// and removes the older ones; 0 keeps them all; anything but a whole number
// of 0 or more is refused with a warning and 30 are kept. A File pattern
// with a conversion gives every run a file of its own: when the name it
// renders is taken (two runs in one second), the run's file gets a suffix
// ("-2", "-3", ...) before its extension. A file it creates gets mode 0640:
// logs name hosts, paths and proxy users.
#pragma once

#include <log4cxx/fileappender.h>

#include <string>
#include <vector>

namespace log4cxx
{
class QorDwnlFileAppender : public FileAppender
{
public:
    DECLARE_LOG4CXX_OBJECT(QorDwnlFileAppender)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(QorDwnlFileAppender)
    LOG4CXX_CAST_ENTRY_CHAIN(FileAppender)
    END_LOG4CXX_CAST_MAP()

    QorDwnlFileAppender() = default;
    ~QorDwnlFileAppender() override = default;

    // Both remember the pattern; the base class keeps the rendered name.
    // (The XML configuration sets the file through setOption, which in
    // log4cxx 1.0 does not pass through setFile.)
    void setFile(const LogString& file) override;
    void setOption(const LogString& option, const LogString& value) override;
    // log4cxx 1.0 no longer lets the five-argument setFile be overridden, so
    // the pattern is rendered here, just before the base class opens the file.
    void activateOptions(helpers::Pool& p) override;

    // The file name that pattern gives at this moment.
    static LogString renderFileName(const LogString& pattern, helpers::Pool& p);

    static constexpr int DEFAULT_MAX_LOG_FILES = 30;
    int getMaxLogFiles() const { return m_maxLogFiles; }
    void setMaxLogFiles(int count) { m_maxLogFiles = count < 0 ? 0 : count; }

    // The warnings about refused options since the last call, for the
    // program's own log (the configuration is read before it can log).
    static std::vector<std::string> takeConfigurationWarnings();

private:
    LogString m_filePattern;
    // the name the pattern last gave and the file this appender took for it:
    // activating again is not another run
    LogString m_renderedName;
    LogString m_runFile;
    int m_maxLogFiles = DEFAULT_MAX_LOG_FILES;
};
LOG4CXX_PTR_DEF(QorDwnlFileAppender);
} // namespace log4cxx

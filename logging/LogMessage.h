// The text of one log statement, built only once its level is known to be
// enabled. It stays narrow until a wide value arrives; from then on it is
// wide: the text so far is widened character by character and the wide value
// appended unchanged, as is every later value.
#pragma once

#include <log4cxx/logger.h>

#include <sstream>
#include <string>
#include <string_view>

namespace qorlog
{
class LogMessage
{
public:
    LogMessage& operator<<(const char* text) { return appendNarrow(text); }
    LogMessage& operator<<(const std::string& text) { return appendNarrow(text); }
    LogMessage& operator<<(std::string_view text) { return appendNarrow(text); }
    LogMessage& operator<<(const wchar_t* text) { return appendWide(text); }
    LogMessage& operator<<(const std::wstring& text) { return appendWide(text); }
    LogMessage& operator<<(std::wstring_view text) { return appendWide(text); }
    LogMessage& operator<<(wchar_t character)
    {
        return appendWide(std::wstring_view(&character, 1));
    }
    LogMessage& operator<<(char character) { return appendNarrow(std::string_view(&character, 1)); }
    // numbers and anything else a stream can write
    template <typename Value> LogMessage& operator<<(const Value& value)
    {
        if (m_isWide)
        {
            m_wide << value;
        }
        else
        {
            m_narrow << value;
        }
        return *this;
    }

    bool isWide() const { return m_isWide; }
    std::string narrowText() const { return m_narrow.str(); }
    std::wstring wideText() const { return m_wide.str(); }

    // Hands the message to the logger through the narrow or the wide overload.
    void emit(const log4cxx::LoggerPtr& logger, const log4cxx::LevelPtr& level,
              const log4cxx::spi::LocationInfo& location) const;

private:
    LogMessage& appendNarrow(std::string_view text);
    LogMessage& appendWide(std::wstring_view text);

    bool m_isWide = false;
    std::ostringstream m_narrow;
    std::wostringstream m_wide;
};
} // namespace qorlog

#include "config/C_IniFileTools.h"

#include "config/BuiltInValues.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "platform/ProfileFile.h"

#include <atomic>
#include <cwchar>
#include <map>
#include <mutex>
#include <tuple>

namespace
{
// (file, section, key), compared unit by unit: another spelling of the same
// file or name finds no internal value.
using InternalKey = std::tuple<std::wstring, std::wstring, std::wstring>;
using InternalValues = std::map<InternalKey, std::wstring>;

// Set once the table is built; a reader before that sees no internal value.
std::atomic<const InternalValues*> s_internalValues{nullptr};

// Values that could not be written, kept for the rest of the run so that a
// later read gives what was set rather than the file's stale text. Section
// and key names are kept as written by the one caller that writes.
std::mutex s_unsavedMutex;
InternalValues s_unsaved;

bool unsavedValue(const InternalKey& key, std::wstring& value)
{
    const std::lock_guard<std::mutex> lock(s_unsavedMutex);
    const auto found = s_unsaved.find(key);
    if (found == s_unsaved.end())
        return false;
    value = found->second;
    return true;
}

constexpr unsigned long VALUE_BUFFER_UNITS = 1024;

// What the "Value: " events show of a password: that there is one, not which.
const wchar_t* const PASSWORD_MASK = L"********";

std::wstring loggedValue(const std::wstring& key, const std::wstring& value)
{
    return ConfigKeys::isPasswordKey(key) && !value.empty() ? PASSWORD_MASK : value;
}

std::wstring octal(unsigned int mode)
{
    wchar_t text[8];
    std::swprintf(text, 8, L"%04o", mode & 07777u);
    return text;
}

std::wstring fromUtf16(const std::uint16_t* units, std::size_t count)
{
    std::wstring text;
    for (std::size_t i = 0; i < count && units[i] != 0; ++i)
    {
        const std::uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF)
        {
            text.push_back(static_cast<wchar_t>(0x10000u + ((unit - 0xD800u) << 10) +
                                                (units[i + 1] - 0xDC00u)));
            ++i;
        }
        else
        {
            text.push_back(static_cast<wchar_t>(unit));
        }
    }
    return text;
}

enum class Restore
{
    Add,
    Xor
};

// The stored units are read through a volatile view so that the compiler
// cannot fold the restoring into plain text in the executable.
template <std::size_t N>
std::wstring restoreBuiltIn(const std::array<std::uint16_t, N>& stored, std::uint16_t constant,
                            Restore operation)
{
    const volatile std::uint16_t* source = stored.data();
    std::array<std::uint16_t, N> buffer{};
    for (std::size_t i = 0; i < N; ++i)
        buffer[i] = source[i];
    for (std::uint16_t& unit : buffer)
    {
        unit = operation == Restore::Add ? static_cast<std::uint16_t>(unit + constant)
                                         : static_cast<std::uint16_t>(unit ^ constant);
    }
    std::wstring text = fromUtf16(buffer.data(), N);
    buffer.fill(0);
    return text;
}

InternalValues buildInternalValues(C_IniFileTools& store)
{
    using namespace ConfigKeys;
    using namespace BuiltInValues;
    InternalValues values;
    const auto put = [&values](const wchar_t* key, std::wstring value)
    { values[InternalKey(UPDINTER_INI_FILE, SECTION_KARVO, key)] = std::move(value); };

    put(KEY_URL, restoreBuiltIn(URL_STORED, URL_CONSTANT, Restore::Add));

    const std::wstring mode =
        store.getWstring(OWN_INI_FILE, SECTION_CONFIG, KEY_MODE, DEFAULT_MODE);
    if (mode == MODE_TEST)
    {
        QOR_LOG_INFO("Test mode");
        put(KEY_NOTES_PSWD,
            restoreBuiltIn(NOTES_PSWD_TEST_STORED, NOTES_PSWD_TEST_CONSTANT, Restore::Add));
    }
    else if (mode == MODE_FIELDTEST)
    {
        QOR_LOG_INFO("Field test mode");
        put(KEY_NOTES_PSWD, restoreBuiltIn(NOTES_PSWD_FIELDTEST_STORED,
                                           NOTES_PSWD_FIELDTEST_CONSTANT, Restore::Add));
    }
    else
    {
        QOR_LOG_INFO(L"Network mode: " << mode);
        put(KEY_NOTES_PSWD,
            restoreBuiltIn(NOTES_PSWD_NETWORK_STORED, NOTES_PSWD_NETWORK_CONSTANT, Restore::Add));
    }
    put(KEY_APPLICATION, L"0_" + mode + L"_0_EN");
    put(KEY_LANGUAGE, L"EN");
    put(KEY_KEY, restoreBuiltIn(KEY_STORED, KEY_CONSTANT, Restore::Add));
    put(KEY_PRODUCT_CODE, restoreBuiltIn(PRODUCT_CODE_STORED, PRODUCT_CODE_CONSTANT, Restore::Xor));
    put(KEY_STATS_URL, restoreBuiltIn(STATS_URL_STORED, STATS_URL_CONSTANT, Restore::Add));
    put(KEY_KEEP_ARCHIVES, L"1");
    return values;
}
} // namespace

C_IniFileTools::C_IniFileTools()
{
    // Built once, by the first construction, whichever thread gets there
    // first; later constructions find it built and read nothing.
    static const InternalValues s_table = buildInternalValues(*this);
    s_internalValues.store(&s_table, std::memory_order_release);
}

C_IniFileTools::~C_IniFileTools() = default;

namespace
{
// What a read finds, before anything about it is logged.
struct Lookup
{
    std::wstring value;
    bool unsaved = false;         // a value set in this run but not stored
    bool internalInForce = false; // value came from the table before the file was read
    std::wstring internalValue;
    unsigned long count = 0; // what the profile read returned
    unsigned long error = 0; // and its last error
};

Lookup lookUp(const std::wstring& file, const std::wstring& section, const std::wstring& key,
              const std::wstring& defaultValue)
{
    Lookup found;
    if (unsavedValue(InternalKey(file, section, key), found.value))
    {
        found.unsaved = true;
        return found;
    }
    found.value = defaultValue;
    if (const InternalValues* table = s_internalValues.load(std::memory_order_acquire))
    {
        const auto internal = table->find(InternalKey(file, section, key));
        if (internal != table->end() && !internal->second.empty())
        {
            found.value = internal->second;
            found.internalInForce = true;
        }
    }
    found.internalValue = found.value;

    wchar_t buffer[VALUE_BUFFER_UNITS] = {};
    found.count = platform::getPrivateProfileString(section, key, found.value, buffer,
                                                    VALUE_BUFFER_UNITS, file);
    found.error = platform::getLastError();
    // A missing key gives back the default. It differs only when it is
    // longer than 1023 units (cut), and a value built in here is neither to
    // be cut nor reported as overloaded.
    if (found.count > 0 && found.error != platform::PROFILE_ERROR_NOT_FOUND)
    {
        found.value.assign(buffer, found.count);
    }
    return found;
}
} // namespace

std::wstring C_IniFileTools::getWstring(const std::wstring& file, const std::wstring& section,
                                        const std::wstring& key, const std::wstring& defaultValue)
{
    const Lookup found = lookUp(file, section, key, defaultValue);
    if (found.unsaved)
    {
        QOR_LOG_TRACE(L"Value set in this run but not stored: " << key);
    }
    else if (found.count > 0 && found.error == platform::PROFILE_ERROR_NOT_FOUND)
    {
        // the key is missing and the default came back
    }
    else if (found.count > 0)
    {
        if (found.value != found.internalValue && found.internalInForce)
        {
            QOR_LOG_WARN("Configuration file overload an internal value");
            QOR_LOG_WARN(L"File: " << file);
            QOR_LOG_WARN(L"Section: " << section);
            QOR_LOG_WARN(L"Key: " << key);
            QOR_LOG_WARN(L"Value: " << loggedValue(key, found.internalValue));
        }
    }
    else if (found.error != 0)
    {
        QOR_LOG_WARN("Configuration file error during reading: " << found.error);
        QOR_LOG_WARN(L"File: " << file);
        QOR_LOG_WARN(L"Section: " << section);
        QOR_LOG_WARN(L"Key: " << key);
        QOR_LOG_WARN(L"Value: " << loggedValue(key, found.value));
    }
    else
    {
        QOR_LOG_TRACE("Empty value in configuration file");
        QOR_LOG_TRACE(L"File: " << file);
        QOR_LOG_TRACE(L"Section: " << section);
        QOR_LOG_TRACE(L"Key: " << key);
    }
    return found.value;
}

std::wstring C_IniFileTools::peekWstring(const std::wstring& file, const std::wstring& section,
                                         const std::wstring& key, const std::wstring& defaultValue)
{
    return lookUp(file, section, key, defaultValue).value;
}

bool C_IniFileTools::setWstring(const std::wstring& file, const std::wstring& section,
                                const std::wstring& key, const std::wstring& value)
{
    QOR_LOG_TRACE(L"File: " << file);
    QOR_LOG_TRACE(L"Section: " << section);
    QOR_LOG_TRACE(L"Key: " << key);
    QOR_LOG_TRACE(L"Value: " << loggedValue(key, value));
    if (ConfigKeys::isPasswordKey(key) && !makeOwnerOnly(file))
    {
        // a secret is not written where others could read it
        return writeFailed(file, section, key, value);
    }
    if (platform::writePrivateProfileString(section, key, value, file))
    {
        // the file holds it now; an older unstored value no longer applies
        const std::lock_guard<std::mutex> lock(s_unsavedMutex);
        s_unsaved.erase(InternalKey(file, section, key));
        return true;
    }
    return writeFailed(file, section, key, value);
}

bool C_IniFileTools::makeOwnerOnly(const std::wstring& file)
{
    unsigned int previousMode = 0;
    if (!platform::restrictProfileToOwner(file, previousMode))
    {
        return false;
    }
    if (previousMode != 0)
    {
        QOR_LOG_WARN(L"Configuration file made readable by its owner only before a password "
                     L"is stored in it (mode was "
                     << octal(previousMode) << L"): " << file);
    }
    return true;
}

bool C_IniFileTools::writeFailed(const std::wstring& file, const std::wstring& section,
                                 const std::wstring& key, const std::wstring& value)
{
    const unsigned long error = platform::getLastError();
    QOR_LOG_WARN("Configuration file error during writing: " << error);
    QOR_LOG_WARN(L"File: " << file);
    QOR_LOG_WARN(L"Section: " << section);
    QOR_LOG_WARN(L"Key: " << key);
    QOR_LOG_WARN(L"Value: " << loggedValue(key, value));
    return false;
}

std::wstring C_IniFileTools::builtInValue(const std::wstring& file, const std::wstring& section,
                                          const std::wstring& key) const
{
    const InternalValues* table = s_internalValues.load(std::memory_order_acquire);
    if (table == nullptr)
    {
        return {};
    }
    const auto found = table->find(InternalKey(file, section, key));
    return found == table->end() ? std::wstring() : found->second;
}

void C_IniFileTools::keepForThisRun(const std::wstring& file, const std::wstring& section,
                                    const std::wstring& key, const std::wstring& value)
{
    const std::lock_guard<std::mutex> lock(s_unsavedMutex);
    s_unsaved[InternalKey(file, section, key)] = value;
}

// The catalogue of every INI file, section and key the program uses. The
// file names are kept exactly as the deployed installations spell them: they
// are also the keys of the table of built-in values.
#pragma once

#include <string>

namespace ConfigKeys
{
// files
inline constexpr const wchar_t* OWN_INI_FILE = L".\\QorDownloader.ini";
inline constexpr const wchar_t* UPDINTER_INI_FILE = L".\\UpdInter.ini";

// sections
inline constexpr const wchar_t* SECTION_CONFIG = L"CONFIG";
inline constexpr const wchar_t* SECTION_UPDATE = L"UPDATE";
inline constexpr const wchar_t* SECTION_PROXY = L"PROXY";
inline constexpr const wchar_t* SECTION_KARVO = L"KARVO";

// CONFIG
inline constexpr const wchar_t* KEY_MODE = L"Mode";
inline constexpr const wchar_t* KEY_CLIENT_LIBRARY = L"ClientLibrary";
inline constexpr const wchar_t* KEY_DEST_PATH = L"DestPath";

// UPDATE
inline constexpr const wchar_t* KEY_EXTRACT = L"Extract";
inline constexpr const wchar_t* KEY_TARGET = L"Target";
inline constexpr const wchar_t* KEY_FLAG_FILE = L"FlagFile";
inline constexpr const wchar_t* KEY_VERSION = L"Version";

// PROXY
inline constexpr const wchar_t* KEY_USER_PROXY = L"UserProxy";
inline constexpr const wchar_t* KEY_PSWD_PROXY = L"PswdProxy";

// KARVO
inline constexpr const wchar_t* KEY_KEY = L"Key";
inline constexpr const wchar_t* KEY_PRODUCT_CODE = L"ProductCode";
inline constexpr const wchar_t* KEY_STATS_URL = L"StatsURL";
inline constexpr const wchar_t* KEY_KEEP_ARCHIVES = L"KeepArchives";
inline constexpr const wchar_t* KEY_URL = L"URL";
inline constexpr const wchar_t* KEY_NOTES_PSWD = L"NotesPswd";
inline constexpr const wchar_t* KEY_APPLICATION = L"Application";
inline constexpr const wchar_t* KEY_LANGUAGE = L"Language";

// Keys whose values are secrets: never logged, never stored where others
// may read them.
inline bool isPasswordKey(const std::wstring& key)
{
    return key == KEY_NOTES_PSWD || key == KEY_PSWD_PROXY;
}

// defaults passed by the readers
inline constexpr const wchar_t* DEFAULT_MODE = L"NETWORK";
inline constexpr const wchar_t* DEFAULT_CLIENT_LIBRARY = L"libPelvane.so";

// the StatsURL value that switches the statistics note off (any case): an
// empty value would leave the built-in address in force
inline constexpr const wchar_t* STATS_URL_OFF = L"off";

// run-mode words
inline constexpr const wchar_t* MODE_TEST = L"TEST";
inline constexpr const wchar_t* MODE_FIELDTEST = L"FIELDTEST";
inline constexpr const wchar_t* MODE_NETWORK = L"NETWORK";
} // namespace ConfigKeys

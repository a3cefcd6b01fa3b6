// The program's own texts in the user's language, through gettext (domain
// "qordownloader"). English is the source: without a catalog for the user's
// language, or under the C locale, every text comes back exactly as written.
// Log texts are the system's own lines and are never passed through here.
//
//   std::cout << qorTr("Outcome: ") ...           narrow, UTF-8
//   label->SetLabel(qorTrW("Proxy address"));      wide, for the toolkit
//   const char* const NAMES[] = {QOR_N_("...")};   marked here, translated at use
#pragma once

#include <string>
#include <string_view>

// Marks a text for the catalog without translating it (static tables).
#define QOR_N_(text) text

class Translation
{
public:
    // msgid in the user's language, UTF-8; msgid itself when untranslated.
    // The pointer stays valid for the life of the process.
    static const char* text(const char* msgid);
    // The same as wide text. The view stays valid for the life of the process.
    static std::wstring_view wideText(const char* msgid);
    // The folder the catalogs are read from: QORDOWNLOADER_LOCALEDIR when set,
    // else share/locale beside the program's bin/ folder (the build tree and
    // any install prefix), else the folder of the install this was built for.
    static std::string catalogFolder();
};

inline std::string qorTr(const char* msgid)
{
    return Translation::text(msgid);
}
inline std::wstring qorTrW(const char* msgid)
{
    return std::wstring(Translation::wideText(msgid));
}
// msgid translated, with its one "%s" replaced by value (the translation may
// move it; a translation without it gets value appended).
inline std::string qorTrFormat(const char* msgid, const std::string& value)
{
    std::string text = Translation::text(msgid);
    const std::size_t at = text.find("%s");
    if (at == std::string::npos)
    {
        return text + value;
    }
    return text.replace(at, 2, value);
}

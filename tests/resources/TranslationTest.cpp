// The program's own texts through the catalogs: English stays the source
// and the default, byte for byte; French and German come from the compiled
// catalogs; a language without a catalog falls back to English. gettext
// binds its catalogs once per process, so each language runs in a fresh
// copy of this program (the "threadsafe" death-test style re-executes it).
#include "resources/Translation.h"
#include "resources/StringTable.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

namespace
{
// The table as the dialogs have always shown it.
const std::pair<unsigned int, const wchar_t*> ENGLISH[] = {
    {135, L"QorDownloader"},
    {137, L"The application is already running !"},
    {139, L"Do you really want to download Orvane Installer ?"},
    {140, L"Download in progress. Please wait..."},
    {142, L"Do you really want to cancel the download ?"},
    {144, L"Download complete"},
    {145, L"Failed to download !"},
    {147, L"Please wait until the download stops..."},
    {149, L"Proxy address"},
    {150, L"Login"},
    {151, L"Password"},
    {136, L"Reserved"},
};

// Sets the language the way a user's session does, before the first text.
void useLanguage(const char* language)
{
    ::setenv("QORDOWNLOADER_LOCALEDIR", QOR_BUILD_LOCALE_DIR, 1);
    if (language != nullptr)
    {
        ::setenv("LANGUAGE", language, 1);
    }
    else
    {
        ::unsetenv("LANGUAGE");
    }
    std::setlocale(LC_ALL, "C.UTF-8");
}

class TranslatedTexts : public ::testing::Test
{
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(TranslatedTexts, EnglishStaysByteIdenticalWithTheCatalogsInstalled)
{
    for (const char* language : {static_cast<const char*>(nullptr), "en_GB", "it:es"})
    {
        EXPECT_EXIT(
            {
                useLanguage(language);
                for (const auto& [id, text] : ENGLISH)
                {
                    if (StringTable::find(id) != text)
                    {
                        std::_Exit(static_cast<int>(id) - 100);
                    }
                }
                const bool console = qorTr("Outcome: %s") == std::string("Outcome: %s") &&
                                     qorTrFormat("download: %s", "40%") == "download: 40%";
                std::_Exit(console ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << (language != nullptr ? language : "no LANGUAGE");
    }
}

TEST_F(TranslatedTexts, FrenchCatalogGivesTheDialogAndConsoleTexts)
{
    EXPECT_EXIT(
        {
            useLanguage("fr");
            const bool table =
                StringTable::find(139) == L"Voulez-vous vraiment télécharger Orvane Installer ?" &&
                StringTable::find(145) == L"Échec du téléchargement !" &&
                StringTable::find(149) == L"Adresse du proxy" &&
                StringTable::find(136) == L"Reserved" && StringTable::find(152).empty();
            const bool console = qorTrFormat("find: update %s found, downloading", "1.2.0") ==
                                     "recherche : mise à jour 1.2.0 trouvée, téléchargement" &&
                                 qorTrW("Password") == L"Mot de passe";
            std::_Exit(table ? (console ? 0 : 2) : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TranslatedTexts, GermanCatalogAndFallbackThroughTheLanguageList)
{
    EXPECT_EXIT(
        {
            // no Italian catalog: the next language of the list answers
            useLanguage("it:de");
            const bool table = StringTable::find(144) == L"Download abgeschlossen" &&
                               StringTable::find(150) == L"Benutzername";
            std::_Exit(table ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TranslationHelpers, FormatPlacesTheValueAndNeverLosesIt)
{
    // an English msgid without a catalog: the value goes where %s is
    EXPECT_EQ(qorTrFormat("proxy: %s (stored credentials)", "host:3128"),
              "proxy: host:3128 (stored credentials)");
    // a text without a place for it still shows it
    EXPECT_EQ(qorTrFormat("no place", " here"), "no place here");
    EXPECT_EQ(Translation::text(""), std::string());
}

TEST(TranslationHelpers, CatalogFolderFromTheEnvironmentFirst)
{
    ::setenv("QORDOWNLOADER_LOCALEDIR", "/some/where", 1);
    EXPECT_EQ(Translation::catalogFolder(), "/some/where");
    ::unsetenv("QORDOWNLOADER_LOCALEDIR");
    // this test program has no share/locale beside its folder: the install's
    EXPECT_EQ(Translation::catalogFolder(), QOR_INSTALL_LOCALEDIR_FOR_TEST);
}
} // namespace

// The real dialogs under Xvfb in a French session: the program's string
// table reaches them in French from the compiled catalogs, before any text of
// the process is looked up. The proxy dialog is answered by a modal-dialog
// hook; a watchdog ends it should the hook not run.
#include "proxy/QorDownloaderProxy.h"
#include "resources/ui/UiResources.h"
#include "workflow/QorWaitDialog.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/modalhook.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <clocale>
#include <cstdlib>
#include <functional>

namespace
{
class LabelReader : public wxModalDialogHook
{
public:
    LabelReader() { Register(); }
    ~LabelReader() override { Unregister(); }

    std::wstring m_server, m_login, m_password;
    bool m_bRead = false;

protected:
    int Enter(wxDialog* dialog) override
    {
        m_watchdog.SetOwner(dialog);
        dialog->Bind(wxEVT_TIMER, [dialog](wxTimerEvent&) { dialog->EndModal(wxID_ABORT); });
        m_watchdog.StartOnce(10000);
        dialog->CallAfter(
            [this, dialog]
            {
                m_server = label(dialog, 1006);
                m_login = label(dialog, 1007);
                m_password = label(dialog, 1008);
                m_bRead = true;
                dialog->EndModal(wxID_CANCEL);
            });
        return wxID_NONE;
    }
    void Exit(wxDialog*) override { m_watchdog.Stop(); }

private:
    static std::wstring label(wxDialog* dialog, int id)
    {
        auto* text = dynamic_cast<wxStaticText*>(dialog->FindWindow(id));
        return text != nullptr ? text->GetLabel().ToStdWstring() : L"(missing)";
    }
    wxTimer m_watchdog;
};
} // namespace

TEST(FrenchDialogs, ProxyDialogLabelsComeFromTheFrenchCatalog)
{
    QorDownloaderProxy dialog(nullptr);
    dialog.m_wzServer = L"proxy.example.test:3128";
    LabelReader reader;
    EXPECT_EQ(dialog.ShowModal(), wxID_CANCEL);
    ASSERT_TRUE(reader.m_bRead);
    EXPECT_EQ(reader.m_server, L"Adresse du proxy");
    EXPECT_EQ(reader.m_login, L"Identifiant");
    EXPECT_EQ(reader.m_password, L"Mot de passe");
}

TEST(FrenchDialogs, WaitDialogSaysSoInFrench)
{
    QorWaitDialog wait;
    ASSERT_TRUE(wait.Create(nullptr));
    ASSERT_NE(wait.m_waitText, nullptr);
    EXPECT_EQ(wait.m_waitText->GetLabel().ToStdWstring(),
              L"Veuillez patienter jusqu'à l'arrêt du téléchargement...");
    wait.Destroy();
}

class FrenchDialogsTestApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};
wxIMPLEMENT_APP_NO_MAIN(FrenchDialogsTestApp);

int main(int argc, char** argv)
{
    // a French session, set up before the first text is looked up
    ::setenv("QORDOWNLOADER_LOCALEDIR", QOR_BUILD_LOCALE_DIR, 1);
    ::setenv("LANGUAGE", "fr", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
    {
        return RUN_ALL_TESTS(); // the build lists the tests without a display
    }
    int toolkitArgc = 1;
    if (!wxEntryStart(toolkitArgc, argv))
    {
        std::fprintf(stderr, "no display: run under xvfb-run\n");
        return 1;
    }
    loadUiResources();
    const int result = RUN_ALL_TESTS();
    wxEntryCleanup();
    return result;
}

// The real proxy credentials dialog, shown modally under Xvfb and driven
// while it is open: a modal-dialog hook runs each test's steps inside the
// dialog's own loop, and a watchdog ends any dialog left open.
#include "proxy/QorDownloaderProxy.h"
#include "resources/ui/UiResources.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/modalhook.h>
#include <wx/stockitem.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <clocale>
#include <cstdlib>
#include <functional>

namespace
{
const std::wstring TITLE = L"QorDownloader v2.0.0.0";

// Runs steps on the dialog once its modal loop is running; if the dialog is
// still open after the watchdog delay, it is ended with wxID_ABORT.
class DialogDriver : public wxModalDialogHook
{
public:
    using Steps = std::function<void(QorDownloaderProxy&)>;

    explicit DialogDriver(Steps steps) : m_steps(std::move(steps)) { Register(); }
    ~DialogDriver() override { Unregister(); }

    bool m_bWatchdogFired = false;

protected:
    int Enter(wxDialog* dialog) override
    {
        auto* proxyDialog = dynamic_cast<QorDownloaderProxy*>(dialog);
        if (proxyDialog == nullptr)
        {
            return wxID_NONE;
        }
        m_watchdog.SetOwner(dialog);
        dialog->Bind(wxEVT_TIMER,
                     [this, dialog](wxTimerEvent&)
                     {
                         m_bWatchdogFired = true;
                         if (dialog->IsModal())
                         {
                             dialog->EndModal(wxID_ABORT);
                         }
                     });
        m_watchdog.StartOnce(10000);
        dialog->CallAfter([this, proxyDialog] { m_steps(*proxyDialog); });
        return wxID_NONE;
    }
    void Exit(wxDialog*) override { m_watchdog.Stop(); }

private:
    Steps m_steps;
    wxTimer m_watchdog;
};

// Lets the toolkit handle what is queued (key events, focus) for a moment.
void settle(int milliseconds = 150)
{
    const wxLongLong end = wxGetLocalTimeMillis() + milliseconds;
    while (wxGetLocalTimeMillis() < end)
    {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
}

// Lets the toolkit work until `done` holds, for at most `limit` ms: on a
// loaded machine focus and key events come back from the X server later
// than any fixed pause allows.
bool settleUntil(const std::function<bool()>& done, int limit = 5000)
{
    const wxLongLong end = wxGetLocalTimeMillis() + limit;
    while (!done() && wxGetLocalTimeMillis() < end)
    {
        settle(10);
    }
    return done();
}

void click(QorDownloaderProxy& dialog, int id)
{
    wxCommandEvent event(wxEVT_BUTTON, id);
    event.SetEventObject(dialog.FindWindow(id));
    dialog.FindWindow(id)->GetEventHandler()->ProcessEvent(event);
}

template <typename Control> Control& control(QorDownloaderProxy& dialog, int id)
{
    Control* found = dynamic_cast<Control*>(dialog.FindWindow(id));
    if (found == nullptr)
    {
        throw std::runtime_error("control " + std::to_string(id) + " missing");
    }
    return *found;
}

// Runs the dialog with steps; its ShowModal() result.
int runDialog(QorDownloaderProxy& dialog, DialogDriver::Steps steps)
{
    DialogDriver driver(std::move(steps));
    const int result = dialog.ShowModal();
    EXPECT_FALSE(driver.m_bWatchdogFired) << "the dialog had to be ended by the watchdog";
    return result;
}

// Presses a key through the X server, as a user would.
void pressKey(int key)
{
    wxUIActionSimulator simulator;
    simulator.Char(key);
    settle();
}

class ProxyDialog : public ::testing::Test
{
protected:
    ProxyDialog() : m_dialog(nullptr)
    {
        m_dialog.m_wzServer = L"proxy.example.test:3128";
        m_dialog.m_wzLogin = L"alice";
        m_dialog.m_wzPassword = L"s3cret";
    }
    QorDownloaderProxy m_dialog;
};
} // namespace

TEST_F(ProxyDialog, ShowsTheServerReadOnlyAndTheCredentialsWithTheProgramsTexts)
{
    const int result =
        runDialog(m_dialog,
                  [](QorDownloaderProxy& dialog)
                  {
                      EXPECT_EQ(dialog.GetTitle().ToStdWstring(), TITLE);
                      EXPECT_EQ(control<wxStaticText>(dialog, 1006).GetLabel(), "Proxy address");
                      EXPECT_EQ(control<wxStaticText>(dialog, 1007).GetLabel(), "Login");
                      EXPECT_EQ(control<wxStaticText>(dialog, 1008).GetLabel(), "Password");
                      EXPECT_EQ(control<wxButton>(dialog, wxID_OK).GetLabel(),
                                wxGetStockLabel(wxID_OK, wxSTOCK_NOFLAGS));
                      EXPECT_EQ(control<wxButton>(dialog, wxID_CANCEL).GetLabel(),
                                wxGetStockLabel(wxID_CANCEL, wxSTOCK_NOFLAGS));

                      wxTextCtrl& server = control<wxTextCtrl>(dialog, 1003);
                      EXPECT_EQ(server.GetValue(), "proxy.example.test:3128");
                      EXPECT_FALSE(server.IsEditable());
                      EXPECT_FALSE(server.HasFlag(wxTE_PASSWORD));
                      EXPECT_EQ(control<wxTextCtrl>(dialog, 1004).GetValue(), "alice");
                      wxTextCtrl& password = control<wxTextCtrl>(dialog, 1005);
                      EXPECT_EQ(password.GetValue(), "s3cret");
                      EXPECT_TRUE(password.HasFlag(wxTE_PASSWORD));
                      EXPECT_TRUE(control<wxTextCtrl>(dialog, 1004).IsEditable());

                      // the application icon, 128 pixels square, as the window's icon
                      ASSERT_EQ(dialog.GetIcons().GetIconCount(), 1u);
                      EXPECT_EQ(dialog.GetIcons().GetIconByIndex(0).GetWidth(), 128);
                      EXPECT_EQ(dialog.GetIcons().GetIconByIndex(0).GetHeight(), 128);
                      EXPECT_EQ(wxWindow::FindFocus(), dialog.FindWindow(wxID_OK))
                          << "OK takes the focus";
                      click(dialog, wxID_CANCEL);
                  });
    EXPECT_EQ(result, wxID_CANCEL);
}

TEST_F(ProxyDialog, LaysTheControlsOutInDialogUnits)
{
    runDialog(m_dialog,
              [](QorDownloaderProxy& dialog)
              {
                  EXPECT_EQ(dialog.GetClientSize(), dialog.ConvertDialogToPixels(wxSize(195, 97)));
                  const struct
                  {
                      int id;
                      wxPoint position;
                      wxSize size;
                  } expected[] = {
                      {wxID_OK, {138, 76}, {50, 14}}, {wxID_CANCEL, {82, 76}, {50, 14}},
                      {1003, {90, 14}, {86, 14}},     {1004, {90, 32}, {86, 14}},
                      {1005, {90, 50}, {86, 14}},     {1006, {19, 14}, {54, 8}},
                      {1007, {19, 32}, {26, 8}},      {1008, {19, 50}, {42, 8}},
                  };
                  for (const auto& item : expected)
                  {
                      wxWindow* window = dialog.FindWindow(item.id);
                      ASSERT_NE(window, nullptr) << item.id;
                      EXPECT_EQ(window->GetPosition(), dialog.ConvertDialogToPixels(item.position))
                          << "control " << item.id;
                      EXPECT_EQ(window->GetSize().GetWidth(),
                                dialog.ConvertDialogToPixels(item.size).GetWidth())
                          << "control " << item.id;
                  }
                  // tab order is template order: OK, Cancel, server, then the entries
                  const wxWindowList& children = dialog.GetChildren();
                  std::vector<int> order;
                  for (const wxWindow* child : children)
                  {
                      order.push_back(child->GetId());
                  }
                  EXPECT_EQ(order, (std::vector<int>{wxID_OK, wxID_CANCEL, 1003, 1006, 1007, 1008,
                                                     1004, 1005}));
                  click(dialog, wxID_CANCEL);
              });
}

TEST_F(ProxyDialog, OkReadsBothEntriesBack)
{
    const int result = runDialog(m_dialog,
                                 [](QorDownloaderProxy& dialog)
                                 {
                                     control<wxTextCtrl>(dialog, 1004).SetValue(L"Jürgen");
                                     control<wxTextCtrl>(dialog, 1005).SetValue(L"pässwörd€ 密码");
                                     click(dialog, wxID_OK);
                                 });
    EXPECT_EQ(result, wxID_OK);
    EXPECT_EQ(m_dialog.m_wzLogin, L"Jürgen");
    EXPECT_EQ(m_dialog.m_wzPassword, L"pässwörd€ 密码");
    EXPECT_EQ(m_dialog.m_wzServer, L"proxy.example.test:3128");
}

TEST_F(ProxyDialog, CancelAndEscapeLeaveTheTextsAsTheyWere)
{
    int result = runDialog(m_dialog,
                           [](QorDownloaderProxy& dialog)
                           {
                               control<wxTextCtrl>(dialog, 1004).SetValue(L"mallory");
                               click(dialog, wxID_CANCEL);
                           });
    EXPECT_EQ(result, wxID_CANCEL);
    EXPECT_EQ(m_dialog.m_wzLogin, L"alice");

    result = runDialog(m_dialog,
                       [](QorDownloaderProxy& dialog)
                       {
                           control<wxTextCtrl>(dialog, 1005).SetValue(L"changed");
                           control<wxTextCtrl>(dialog, 1005).SetFocus();
                           settle();
                           pressKey(WXK_ESCAPE);
                       });
    EXPECT_EQ(result, wxID_CANCEL);
    EXPECT_EQ(m_dialog.m_wzPassword, L"s3cret");
}

TEST_F(ProxyDialog, EnterInEitherEntryActsAsOk)
{
    for (const int entry : {1004, 1005})
    {
        const int result = runDialog(m_dialog,
                                     [entry](QorDownloaderProxy& dialog)
                                     {
                                         wxTextCtrl& text = control<wxTextCtrl>(dialog, entry);
                                         text.SetFocus();
                                         settle();
                                         text.SetValue(entry == 1004 ? L"bob" : L"hunter2");
                                         pressKey(WXK_RETURN);
                                     });
        EXPECT_EQ(result, wxID_OK) << "Enter in " << entry;
    }
    EXPECT_EQ(m_dialog.m_wzLogin, L"bob");
    EXPECT_EQ(m_dialog.m_wzPassword, L"hunter2");
}

TEST_F(ProxyDialog, EntriesTake256CharactersFromTheKeyboardAndGiveThemBackWhole)
{
    const std::wstring longest(256, L'n');
    m_dialog.m_wzLogin = longest;
    m_dialog.m_wzPassword = std::wstring(255, L'p');
    const int result = runDialog(m_dialog,
                                 [](QorDownloaderProxy& dialog)
                                 {
                                     // a 257th character typed into the full entry is refused
                                     wxTextCtrl& login = control<wxTextCtrl>(dialog, 1004);
                                     login.SetFocus();
                                     login.SetInsertionPointEnd();
                                     settleUntil([&] { return wxWindow::FindFocus() == &login; });
                                     pressKey('x');
                                     EXPECT_EQ(login.GetValue().length(), 256u);
                                     // the 256th is accepted
                                     wxTextCtrl& password = control<wxTextCtrl>(dialog, 1005);
                                     password.SetFocus();
                                     password.SetInsertionPointEnd();
                                     ASSERT_TRUE(settleUntil(
                                         [&] { return wxWindow::FindFocus() == &password; }));
                                     pressKey('q');
                                     ASSERT_TRUE(settleUntil(
                                         [&] { return password.GetValue().length() == 256u; }));
                                     pressKey('r');
                                     EXPECT_EQ(password.GetValue().length(), 256u);
                                     click(dialog, wxID_OK);
                                 });
    EXPECT_EQ(result, wxID_OK);
    EXPECT_EQ(m_dialog.m_wzLogin, longest);
    EXPECT_EQ(m_dialog.m_wzPassword, std::wstring(255, L'p') + L"q");
}

TEST_F(ProxyDialog, ALongerStoredPasswordIsNotCutWhenConfirmed)
{
    // The limit guards typing; cutting a stored password would write a
    // wrong one back to the configuration.
    const std::wstring stored(300, L'z');
    m_dialog.m_wzPassword = stored;
    const int result =
        runDialog(m_dialog, [](QorDownloaderProxy& dialog) { click(dialog, wxID_OK); });
    EXPECT_EQ(result, wxID_OK);
    EXPECT_EQ(m_dialog.m_wzPassword, stored);
}

TEST_F(ProxyDialog, EmptyServerStillShowsTheDialog)
{
    m_dialog.m_wzServer.clear();
    bool shown = false;
    runDialog(m_dialog,
              [&shown](QorDownloaderProxy& dialog)
              {
                  shown = dialog.IsShown();
                  EXPECT_TRUE(control<wxTextCtrl>(dialog, 1003).GetValue().empty());
                  click(dialog, wxID_CANCEL);
              });
    EXPECT_TRUE(shown);
}

TEST(UiResources, EveryEmbeddedTemplateAndTheIconLoad)
{
    EXPECT_TRUE(loadUiResources()) << "a template in resources/ui does not parse";
    EXPECT_TRUE(loadUiResources()) << "a second call must be harmless";
    const wxIcon icon = loadAppIcon();
    ASSERT_TRUE(icon.IsOk());
    EXPECT_EQ(icon.GetWidth(), 128);
    EXPECT_EQ(icon.GetHeight(), 128);
}

namespace
{
class ProxyDialogTestApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};
} // namespace

wxIMPLEMENT_APP_NO_MAIN(ProxyDialogTestApp);

namespace
{
// For screenshot.sh: the dialog as a user sees it, open for a while.
int holdDialogOpen(long milliseconds)
{
    QorDownloaderProxy dialog(nullptr);
    dialog.m_wzServer = L"proxy.example.test:3128";
    dialog.m_wzLogin = L"alice";
    dialog.m_wzPassword = L"s3cret";
    wxTimer closer(&dialog);
    dialog.Bind(wxEVT_TIMER, [&dialog](wxTimerEvent&) { dialog.EndModal(wxID_CANCEL); });
    closer.StartOnce(static_cast<int>(milliseconds));
    dialog.ShowModal();
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
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
    const char* hold = std::getenv("QOR_PROXY_DIALOG_HOLD_MS");
    const int result = hold != nullptr ? holdDialogOpen(std::atol(hold)) : RUN_ALL_TESTS();
    wxEntryCleanup();
    return result;
}

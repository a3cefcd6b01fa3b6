// Every dialog of the program as a person sees it, in English, French and
// German, against the reference in tests/workflow/reference/: layout-<lang>.txt
// holds each dialog's client size and the places of its controls, and
// <lang>/<dialog>.png shows it under a window manager (reference/update.sh
// takes them). Sizes and places are compared within a few pixels, not
// pixels; beside that each dialog is checked for what makes a layout wrong
// whatever the reference: a text cut by its control, a window narrower
// than its title needs, the wait text off the middle, Cancel usable behind
// the wait dialog.
#include "RunFixture.h"

#include "app/UserWorkingFolder.h"
#include "platform/MessageBox.h"
#include "tools/C_WindowsTools.h"
#include "workflow/QorWaitDialog.h"

#include "ServerProcess.h"

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/tokenzr.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace wftest;
namespace fs = std::filesystem;

namespace
{
constexpr int TOLERANCE_PX = 4;
const char* const LANGUAGE_VARIABLE = "QOR_DIALOG_LAYOUT_LANGUAGE";
const char* const UPDATE_VARIABLE = "QOR_DIALOG_REFERENCE_UPDATE";
const fs::path REFERENCE = DIALOG_REFERENCE_DIR;

// One dialog as shown: "name WxH id:x,y,w,h ..." in the reference files.
struct Layout
{
    std::string name;
    wxSize client;
    std::map<int, wxRect> controls; // the template's controls, by id

    std::string text() const
    {
        std::ostringstream line;
        line << name << ' ' << client.x << 'x' << client.y;
        for (const auto& [id, rect] : controls)
        {
            line << ' ' << id << ':' << rect.x << ',' << rect.y << ',' << rect.width << ','
                 << rect.height;
        }
        return line.str();
    }
    static Layout parse(const std::string& text)
    {
        Layout layout;
        std::istringstream line(text);
        char by = 0;
        line >> layout.name >> layout.client.x >> by >> layout.client.y;
        for (std::string control; line >> control;)
        {
            int id = 0;
            wxRect rect;
            char separator = 0;
            std::istringstream part(control);
            part >> id >> separator >> rect.x >> separator >> rect.y >> separator >> rect.width >>
                separator >> rect.height;
            layout.controls[id] = rect;
        }
        return layout;
    }
};

bool near(int a, int b)
{
    return std::abs(a - b) <= TOLERANCE_PX;
}

std::string languageOfRun()
{
    const char* language = std::getenv(LANGUAGE_VARIABLE);
    return language != nullptr ? language : "";
}

// The width and height of a PNG file, from its header; 0x0 when it is none.
wxSize pngSize(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (!in || header[1] != 'P' || header[2] != 'N' || header[3] != 'G')
    {
        return {0, 0};
    }
    const auto word = [&](int at) {
        return (header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3];
    };
    return {word(16), word(20)};
}

class DialogLayouts : public RunFixture
{
protected:
    // Checks and records window as dialog name, once it is shown and painted.
    void record(const std::string& name, wxWindow* window)
    {
        if (m_recorded.count(name) != 0)
        {
            return;
        }
        window->Raise();
        pumpUntil([] { return false; }, 300);
        Layout layout{name, window->GetClientSize(), {}};
        for (wxWindow* child : window->GetChildren())
        {
            if (!child->IsShown())
            {
                continue;
            }
            if (child->GetId() > 0)
            {
                layout.controls[child->GetId()] = child->GetRect();
            }
            checkTextFits(name, child);
        }
        const auto* top = dynamic_cast<wxTopLevelWindow*>(window);
        ASSERT_NE(top, nullptr) << name;
        EXPECT_GE(layout.client.x, platform::captionWidth(*window, top->GetTitle()))
            << name << ": the title bar cannot show the whole title";
        m_recorded[name] = layout;
        if (std::getenv(UPDATE_VARIABLE) != nullptr)
        {
            fs::create_directories(REFERENCE / languageOfRun());
            // the window manager's frame with it: the title is part of the dialog
            const std::string png = (REFERENCE / languageOfRun() / (name + ".png")).string();
            const std::string command =
                "import -frame -window \"$(xdotool getactivewindow)\" '" + png + "'";
            EXPECT_EQ(std::system(command.c_str()), 0) << command;
        }
    }

    static void checkTextFits(const std::string& name, wxWindow* control)
    {
        const wxRect place = control->GetRect();
        if (auto* text = dynamic_cast<wxStaticText*>(control))
        {
            wxStringTokenizer lines(text->GetLabel(), "\n");
            while (lines.HasMoreTokens())
            {
                const wxString line = lines.GetNextToken();
                EXPECT_LE(text->GetTextExtent(line).x, place.width)
                    << name << ": \"" << line << "\" is cut";
            }
            EXPECT_GE(place.height, text->GetCharHeight()) << name << ": text cut from below";
        }
        else if (auto* button = dynamic_cast<wxButton*>(control))
        {
            EXPECT_LT(button->GetTextExtent(wxStripMenuCodes(button->GetLabel())).x, place.width)
                << name << ": button \"" << button->GetLabel() << "\" is cut";
        }
    }

    // Answers a box once it has been recorded as name.
    int recordThenAnswer(wxDialog* dialog, const std::string& name, int answer)
    {
        dialog->CallAfter(
            [this, dialog, name, answer]
            {
                record(name, dialog);
                dialog->EndModal(answer);
            });
        return wxID_NONE;
    }

    // Runs the download dialog, recording each box under the name that
    // names(message) gives ("" leaves it to the fixture's answer).
    void runRecording(const std::function<std::string(const std::wstring&)>& names)
    {
        writeIni(folder, config);
        folder.write("UpdInter.ini", "[KARVO]\nLanguage=EN\nURL=" + m_url + "\n");
        library.script(script);
        PromptAnswers answers(
            [&](wxDialog* dialog) -> int
            {
                if (dialog == dlg.get())
                {
                    return wxID_NONE;
                }
                if (dynamic_cast<wxMessageDialogBase*>(dialog) == nullptr)
                {
                    return recordThenAnswer(dialog, "proxy", wxID_OK);
                }
                const std::wstring message = wxString::FromUTF8(messageOf(dialog)).ToStdWstring();
                const std::string name = names(message);
                const bool question = name == "confirm" || name == "first-run" || name == "cancel";
                return recordThenAnswer(dialog, name, question ? wxID_YES : wxID_OK);
            });
        dlg = std::make_unique<CQorDownloaderDlg>(nullptr, false);
        dlg->setConfirmationNote(confirmationNote);
        bool busy = false;
        runDialog(
            *dlg,
            [&]
            {
                if (busy || !onTick)
                {
                    return;
                }
                busy = true;
                onTick();
                busy = false;
            },
            30000);
        returnCode = dlg->m_eReturnCode;
        dlg.reset();
    }

    // One box outside a run, recorded as name.
    void showBox(const std::string& name, const std::wstring& text, const std::wstring& extended)
    {
        PromptAnswers answers([&](wxDialog* dialog)
                              { return recordThenAnswer(dialog, name, wxID_OK); });
        platform::messageBox(nullptr, text, CQorDownloaderApp::getAppTitle(),
                             platform::MB_OK | platform::MB_ICONERROR, extended);
    }

    static std::wstring text(unsigned int id) { return C_WindowsTools::getUString(id, L""); }

    std::map<std::string, Layout> m_recorded;
    std::string m_url = "https://updates.example/orvane";
};
} // namespace

// Run once per language by the test below (its own process, so that the
// catalogs are bound in that language).
TEST_F(DialogLayouts, DISABLED_InTheLanguageOfThisRun)
{
    const std::string language = languageOfRun();
    ASSERT_FALSE(language.empty()) << "run by DialogLayout.EveryDialogMatchesItsReference...";
    const auto boxName = [](const std::wstring& message) -> std::string
    {
        if (message == text(139))
            return "confirm";
        if (message == text(142))
            return "cancel";
        if (message == text(144))
            return "complete";
        if (message == text(145))
            return "failed";
        return "other";
    };

    // a first run through a proxy, canceled: the confirmation with its
    // note, the proxy dialog, the download, its cancel and the wait dialog
    ::setenv("https_proxy", "http://proxy.example.test:3128", 1);
    UserWorkingFolder::Preparation prepared;
    prepared.folder = "/home/ann/.local/state/qordownloader";
    prepared.adminFolder = UserWorkingFolder::DEFAULT_ADMIN_FOLDER;
    prepared.copied = {"QorDownloader.ini", "UpdInter.ini", "LogQorDownloader.xml"};
    confirmationNote = prepared.firstRunNote();
    script = "status=1 1 1 100 45 1\nstop_after=4\nstopped=0 1 1 100 45 0\n";
    bool cancelEnabledBehindWait = true;
    onTick = [&]
    {
        if (dlg->state() == CQorDownloaderDlg::eState::Downloading &&
            dlg->m_cancelButton->IsShown() && m_recorded.count("download") == 0)
        {
            record("download", dlg.get());
            clickCancel();
        }
        if (dlg->waitDialog() != nullptr && m_recorded.count("wait") == 0)
        {
            cancelEnabledBehindWait = dlg->m_cancelButton->IsEnabled();
            QorWaitDialog* wait = dlg->waitDialog();
            record("wait", wait);
            const wxRect text = wait->m_waitText->GetRect();
            EXPECT_LE(std::abs(text.y + text.height / 2 - wait->GetClientSize().y / 2), 1);
            EXPECT_LE(text.height, wait->m_waitText->GetBestSize().y + 1);
        }
    };
    runRecording([&](const std::wstring& message)
                 { return boxName(message) == "confirm" ? "first-run" : boxName(message); });
    EXPECT_EQ(CQorDownloaderApp::RC_USER_CANCELED, returnCode);
    EXPECT_FALSE(cancelEnabledBehindWait);
    ::unsetenv("https_proxy");

    // a run that ends well, one that fails
    onTick = nullptr;
    confirmationNote.clear();
    script = QUICK_SUCCESS;
    runRecording(boxName);
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    // a dead server: the box says why under its text
    script = "count_result=0\nerrors=3 6 0\n";
    runRecording(boxName);
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);

    // the boxes of the start-up
    showBox("already-running", text(137), L"");
    showBox("no-settings", wxString::FromUTF8(prepared.missingSettingsHeadline()).ToStdWstring(),
            wxString::FromUTF8(prepared.missingSettingsText()).ToStdWstring());

    std::vector<std::string> expected = {"already-running", "cancel", "complete",  "confirm",
                                         "download",        "failed", "first-run", "no-settings",
                                         "proxy",           "wait"};
    std::vector<std::string> seen;
    std::string lines;
    for (const auto& [name, layout] : m_recorded)
    {
        seen.push_back(name);
        lines += layout.text() + "\n";
    }
    EXPECT_EQ(expected, seen);
    const fs::path file = REFERENCE / ("layout-" + language + ".txt");
    if (std::getenv(UPDATE_VARIABLE) != nullptr)
    {
        std::ofstream(file) << lines;
        return;
    }

    std::ifstream in(file);
    ASSERT_TRUE(in) << file << " is missing: run tests/workflow/reference/update.sh";
    for (std::string line; std::getline(in, line);)
    {
        const Layout reference = Layout::parse(line);
        const auto found = m_recorded.find(reference.name);
        ASSERT_NE(found, m_recorded.end()) << reference.name;
        const Layout& shown = found->second;
        EXPECT_TRUE(near(shown.client.x, reference.client.x) &&
                    near(shown.client.y, reference.client.y))
            << reference.name << " is " << shown.text() << ", the reference " << line;
        EXPECT_EQ(shown.controls.size(), reference.controls.size()) << shown.text();
        for (const auto& [id, rect] : reference.controls)
        {
            const wxRect place = shown.controls.count(id) != 0 ? shown.controls.at(id) : wxRect();
            EXPECT_TRUE(near(place.x, rect.x) && near(place.y, rect.y) &&
                        near(place.width, rect.width) && near(place.height, rect.height))
                << reference.name << " control " << id << ": " << shown.text() << "\nreference "
                << line;
        }
        // the screenshot shows this dialog, its frame round the client area
        const wxSize png = pngSize(REFERENCE / language / (reference.name + ".png"));
        EXPECT_GE(png.x, reference.client.x) << reference.name << ".png";
        EXPECT_GE(png.y, reference.client.y) << reference.name << ".png";
    }
}

TEST(DialogLayout, EveryDialogMatchesItsReferenceInEnglishFrenchAndGerman)
{
    // the catalogs this build compiled, beside the program's bin/ folder
    const fs::path build =
        fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
    ::setenv("QORDOWNLOADER_LOCALEDIR", (build / "share" / "locale").c_str(), 1);
    for (const char* language : {"en", "fr", "de"})
    {
        ::setenv("LANGUAGE", language, 1);
        ::setenv(LANGUAGE_VARIABLE, language, 1);
        std::string output;
        const int status = qortest::runProgram(
            {fs::read_symlink("/proc/self/exe").string(), "--gtest_also_run_disabled_tests",
             "--gtest_filter=DialogLayouts.DISABLED_InTheLanguageOfThisRun"},
            &output);
        EXPECT_EQ(status, 0) << language << "\n" << output;
    }
    ::unsetenv(LANGUAGE_VARIABLE);
    ::unsetenv("LANGUAGE");
    ::unsetenv("QORDOWNLOADER_LOCALEDIR");
}

// Details of a run that the whole-run tests do not pin down: where log
// lines say they come from, timer ids that are not the run's, a dialog that
// ends with an unknown answer, the KeepArchives argument, the order in which
// the configuration is read, the flag-file and Extract housekeeping, and the
// wait dialog's border.
#include "RunFixture.h"

#include "workflow/ConsoleFrontEnd.h"
#include "workflow/QorWaitDialog.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/rawbmp.h>

#include <cstdlib>
#include <filesystem>

using namespace wftest;

namespace
{
class RunDetailsTest : public RunFixture
{
protected:
    std::vector<std::string> keysRead() const
    {
        std::vector<std::string> keys;
        for (const std::string& line : log.lines())
        {
            if (line.rfind("WARN Key: ", 0) == 0)
            {
                keys.push_back(line.substr(10));
            }
        }
        return keys;
    }

    const qortest::CapturedEvent* eventOf(const std::string& message) const
    {
        events = log.events();
        for (const auto& event : events)
        {
            if (event.message == message)
            {
                return &event;
            }
        }
        return nullptr;
    }

    mutable std::vector<qortest::CapturedEvent> events;
};

std::string fieldOf(const std::string& line, std::size_t index)
{
    std::stringstream stream(line);
    std::string value;
    for (std::size_t i = 0; i <= index && std::getline(stream, value, '|'); ++i)
    {
    }
    return value;
}
} // namespace

TEST_F(RunDetailsTest, LogLinesOfTheRunAndBothWorkersNameTheDialogsSourceFile)
{
    run();
    ASSERT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"M_TIMER_STARTDOWNLOAD", "OnTimer"},
        {"No FlagFile: flag.txt", "threadFindUpdate"},
        {"downloadUntil: 2.5.0", "threadFindUpdate"},
        {"FindUpdate success", "onFindThreadPoll"},
        {"ResultUpdInter: SUCCESS", "setDownloadStatus"},
        {"Download success return code: 1", "OnOK"},
    };
    for (const auto& [message, function] : lines)
    {
        SCOPED_TRACE(message);
        const qortest::CapturedEvent* event = eventOf(message);
        ASSERT_NE(nullptr, event);
        EXPECT_EQ("QorDownloaderDlg.cpp", event->fileName);
        EXPECT_NE(std::string::npos, event->methodName.find(function)) << event->methodName;
    }
}

TEST_F(RunDetailsTest, UnknownTimerIdGoesToTheFrameworkUnhandled)
{
    dlg = std::make_unique<CQorDownloaderDlg>();
    wxTimer foreign;
    foreign.SetOwner(dlg.get(), 9);
    wxTimerEvent tick(foreign);
    EXPECT_FALSE(dlg->GetEventHandler()->ProcessEvent(tick)) << "skipped to the default handling";
    EXPECT_EQ((std::vector<std::string>{"TRACE nIDEvent: 9"}), log.lines());
    EXPECT_EQ(CQorDownloaderDlg::eState::Starting, dlg->state());
}

TEST_F(RunDetailsTest, DialogEndingWithAnUnknownAnswerIsLoggedByTheApplication)
{
    ::setenv("QORDOWNLOADER_LOCK_DIR", folder.path().c_str(), 1);
    writeIni(folder, config);
    // the hook answers for the download dialog: ShowModal returns 1234 unrun
    PromptAnswers answers([](wxDialog*) { return 1234; });
    wxAppConsole* const testApp = wxApp::GetInstance();
    int code = 99;
    {
        CQorDownloaderApp application; // never started: only its InitInstance runs
        wxApp::SetInstance(testApp);
        application.InitInstance();
        code = application.m_eReturnCode;
    }
    wxApp::SetInstance(testApp);
    ::unsetenv("QORDOWNLOADER_LOCK_DIR");
    EXPECT_EQ(CQorDownloaderApp::RC_NOT_SET, code);
    EXPECT_EQ("", missing({"INFO Begin", "WARN Application canceled with unknown ID: 1234",
                           "TRACE End"}));
    const qortest::CapturedEvent* event = eventOf("Application canceled with unknown ID: 1234");
    ASSERT_NE(nullptr, event);
    EXPECT_EQ("QorDownloader.cpp", event->fileName);
    EXPECT_NE(std::string::npos, event->methodName.find("InitInstance")) << event->methodName;
}

TEST_F(RunDetailsTest, KeepArchivesOtherThanExactlyZeroGivesOne)
{
    for (const std::string text : {"no", "false", "00"})
    {
        SCOPED_TRACE(text);
        config.keepArchives = text;
        std::remove(folder.file("fake-script.txt.journal").c_str());
        run();
        EXPECT_EQ("1", fieldOf(library.callLine("initUpdInterEx"), 4));
        folder.write("target/payload/setup.bin", "new setup");
    }
}

TEST_F(RunDetailsTest, ConfigurationKeysAreReadInTheDesignsOrder)
{
    // A folder in place of QorDownloader.ini fails every read of it, and
    // values that differ from the built-in ones are reported: both name
    // the key, in the order the run reads them.
    writeIni(folder, config);
    folder.write("UpdInter.ini",
                 "[KARVO]\nKey=k\nProductCode=p\nStatsURL=s\nKeepArchives=k\nURL=u\n"
                 "NotesPswd=n\nApplication=a\nLanguage=l\n");
    std::filesystem::remove(folder.file("QorDownloader.ini"));
    folder.makeDir("QorDownloader.ini");
    ConsoleFrontEnd console;
    console.runModal();
    std::vector<std::string> keys = keysRead();
    const auto first = std::find(keys.begin(), keys.end(), "Extract");
    ASSERT_NE(keys.end(), first) << log.text();
    EXPECT_EQ(
        (std::vector<std::string>{"Extract", "Target", "FlagFile", "Version", "UserProxy",
                                  "PswdProxy", "Key", "ProductCode", "StatsURL", "KeepArchives",
                                  "URL", "NotesPswd", "Application", "Language", "ClientLibrary"}),
        std::vector<std::string>(first, keys.end()));
}

TEST_F(RunDetailsTest, FolderNamedAsTheFlagFileIsNotRemoved)
{
    folder.write("flag.txt/inside.txt", "kept");
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ("kept", folder.read("flag.txt/inside.txt"));
    EXPECT_EQ("", missing({"INFO FlagFile found: flag.txt", "INFO Directory erased: extract",
                           "WARN Error when erasing FlagFile: flag.txt", "WARN Delete error: 21",
                           "INFO downloadUntil: 2.5.0"}));
    EXPECT_FALSE(log.containsPrefix("INFO FlagFile erased"));
}

TEST_F(RunDetailsTest, DirectoryErasedIsLoggedOnlyWhenTheContentsAreGone)
{
    // a file where the folder should be: nothing can be erased
    folder.write("flag.txt", "");
    folder.write("extract", "a file");
    run();
    EXPECT_EQ("", missing({"WARN Error when erasing directory: extract", "WARN Delete error: 20",
                           "INFO FlagFile erased: flag.txt"}));
    EXPECT_FALSE(log.containsPrefix("INFO Directory erased"));
    EXPECT_EQ("a file", folder.read("extract"));

    // a link to a folder: whether the erase goes through it or not, the log
    // must say what happened to the folder's contents
    std::filesystem::remove(folder.file("extract"));
    folder.write("real/old.bin", "old");
    std::filesystem::create_directory_symlink(folder.file("real"), folder.file("extract"));
    folder.write("flag.txt", "");
    folder.write("target/payload/setup.bin", "new setup");
    log.clear();
    run();
    EXPECT_TRUE(std::filesystem::is_symlink(folder.file("extract"))) << "the link itself stays";
    if (folder.exists("real/old.bin"))
    {
        EXPECT_FALSE(log.containsPrefix("INFO Directory erased")) << log.text();
        EXPECT_TRUE(log.contains("WARN Error when erasing directory: extract"));
    }
    else
    {
        EXPECT_TRUE(log.contains("INFO Directory erased: extract")) << log.text();
    }
}

TEST_F(RunDetailsTest, WaitDialogIsATitledDialogWithoutCloseBoxAndItsTextInTheMiddle)
{
    auto* owner = new wxFrame(nullptr, wxID_ANY, "owner", wxPoint(100, 100), wxSize(600, 400));
    owner->Show();
    auto* wait = new QorWaitDialog();
    ASSERT_TRUE(wait->Create(owner));
    pumpUntil([] { return false; }, 100);

    // the window manager draws its frame and title bar, without a close box
    EXPECT_TRUE(wait->HasFlag(wxCAPTION));
    EXPECT_FALSE(wait->HasFlag(wxCLOSE_BOX));
    EXPECT_EQ(CQorDownloaderApp::getAppTitle(), wait->GetTitle().ToStdWstring());
    const wxRect text = wait->m_waitText->GetRect();
    const wxSize client = wait->GetClientSize();
    EXPECT_LE(std::abs(text.y + text.height / 2 - client.y / 2), 1) << "centred from top to bottom";
    EXPECT_LE(std::abs(text.x + text.width / 2 - client.x / 2), 1) << "centred from side to side";
    EXPECT_GE(text.height, wait->m_waitText->GetCharHeight()) << "the text is not cut";
    EXPECT_LE(text.height, wait->m_waitText->GetBestSize().y + 1)
        << "nor drawn at the top of a box";
    wait->Destroy();
    owner->Destroy();
    pumpUntil([] { return false; }, 50);
}

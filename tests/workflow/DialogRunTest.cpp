// Whole runs of the download dialog: every outcome it can record, with the
// log lines of each step in their order.
#include "RunFixture.h"

#include "platform/WorkerThread.h"

#include <algorithm>

using namespace wftest;

namespace
{
class DialogRunTest : public RunFixture
{
};
} // namespace

TEST_F(DialogRunTest, SuccessfulRunMovesTargetAndEndsWithOne)
{
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, COMPLETE_TEXT}), messages);
    EXPECT_FALSE(revealedAtConfirmation) << "the dialog is invisible during the prompts";
    EXPECT_TRUE(dlg->isRevealed());
    EXPECT_EQ("new setup", folder.read("dest/payload/setup.bin"));
    EXPECT_FALSE(folder.exists("target"));
    EXPECT_EQ(1000, barAtFinalMessage);
    EXPECT_EQ(
        "", missing({"TRACE nIDEvent: 1", "TRACE M_TIMER_STARTDOWNLOAD", "INFO No proxy",
                     "INFO No FlagFile: flag.txt", "INFO downloadUntil: 2.5.0", "TRACE nIDEvent: 2",
                     "TRACE M_TIMER_STATUS_FINDTHREAD", "INFO FindUpdate success",
                     "TRACE M_TIMER_GETSTATUS", "TRACE ResultUpdInter: SUCCESS",
                     "INFO No cancel popup", "INFO DownloadUpdate success",
                     "TRACE M_TIMER_STATUS_FINALIZETHREAD", "INFO FinalizeUpdate success",
                     "INFO Download stopped", "INFO Download success return code: 1"}));
    EXPECT_FALSE(log.containsPrefix("ERROR"));
    EXPECT_EQ(1, library.count("closeUpdInter"));
    EXPECT_EQ(1, library.count("downloadUntil|2.5.0"));
}

TEST_F(DialogRunTest, LibraryReceivesTheConfigurationAndFixedArguments)
{
    config.keepArchives = "0";
    run();
    // key|product|stats|keep|extract|target|flag|user|pswd|url|notes|app|lang|version|30000|30000||
    const std::string init = library.callLine("initUpdInterEx");
    std::vector<std::string> fields;
    std::stringstream stream(init);
    for (std::string field; std::getline(stream, field, '|');)
    {
        fields.push_back(field);
    }
    ASSERT_GE(fields.size(), 17u) << init;
    EXPECT_EQ("0", fields[4]);
    EXPECT_EQ("extract", fields[5]);
    EXPECT_EQ("target", fields[6]);
    EXPECT_EQ("flag.txt", fields[7]);
    EXPECT_EQ("EN", fields[13]);
    EXPECT_EQ("1.0.0", fields[14]);
    EXPECT_EQ("30000", fields[15]);
    EXPECT_EQ("30000", fields[16]);
    EXPECT_EQ("getVersionCount|-1", library.callLine("getVersionCount"));
    EXPECT_EQ("getVersionInfo|0|1023|4095", library.callLine("getVersionInfo"));
}

TEST_F(DialogRunTest, ConfirmationShowsWhatAFirstRunPreparedUnderItsOwnText)
{
    confirmationNote = L"Your working folder /home/ann was prepared.";
    run();
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, COMPLETE_TEXT}), messages);
    EXPECT_EQ((std::vector<std::wstring>{confirmationNote}), confirmationNotes);
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
}

TEST_F(DialogRunTest, RefusedConfirmationEndsAtOnceWithMinusOne)
{
    confirm = wxID_NO;
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_CONFIRMATION_REFUSED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT}), messages) << "no final message";
    EXPECT_EQ("", missing({"INFO Download canceled from confirmation popup",
                           "WARN Download failure return code: -1"}));
    EXPECT_FALSE(log.contains("INFO No proxy")) << "nothing is read after a refusal";
    EXPECT_TRUE(library.journal().empty()) << "the library is never loaded";
    EXPECT_FALSE(dlg->isRevealed());
}

TEST_F(DialogRunTest, EachFailingFindStepEndsWithMinusElevenAfterTheFailureMessage)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"init_result=0\nerrors=5 6 7\n", "ERROR initUpdInter failure"},
        {"count_result=0\n", "ERROR getVersionCount failure"},
        {"count=0\n", "ERROR No file to download: 0"},
        {"info_result=0\n", "ERROR getVersionInfo failure"},
    };
    for (const auto& [failingScript, line] : cases)
    {
        SCOPED_TRACE(line);
        script = failingScript;
        log.clear();
        run();
        EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
        EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, FAILED_TEXT}), messages);
        EXPECT_EQ("", missing({line, "ERROR FindUpdate failure: thread return code NOK",
                               "INFO Download stopped", "WARN Download failure return code: -11"}));
        EXPECT_EQ(0, library.count("downloadUntil"));
        EXPECT_TRUE(folder.exists("target")) << "nothing is moved";
    }
    EXPECT_EQ(4, library.count("closeUpdInter")) << "closed once per run before unloading";
}

TEST_F(DialogRunTest, MissingLibraryFailsAfterTheFlagFileStepWithTheBarAtTwenty)
{
    config.clientLibrary = folder.file("no-such-library.so");
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ(20, barAtFinalMessage);
    EXPECT_EQ("", missing({"INFO No FlagFile: flag.txt", "ERROR UpdInter not loaded",
                           "ERROR FindUpdate failure: thread return code NOK",
                           "WARN Download failure return code: -11"}));
    EXPECT_FALSE(log.contains("INFO Download stopped")) << "nothing loaded, nothing to close";
}

TEST_F(DialogRunTest, DownloadEndingWithAFailedResultEndsWithMinusEleven)
{
    script = "errors=3 4 5\nstatus=1 1 1 100 40 1\nstatus=0 1 1 100 40 0\n";
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, FAILED_TEXT}), messages);
    EXPECT_EQ(
        "", missing({"INFO FindUpdate success", "WARN APIErrorCode: 3", "WARN PrimaryErrorCode: 4",
                     "WARN SecondaryErrorCode: 5", "ERROR DownloadUpdate failure",
                     "INFO Download stopped", "WARN Download failure return code: -11"}));
    EXPECT_TRUE(folder.exists("target"));
    EXPECT_FALSE(folder.exists("dest"));
}

TEST_F(DialogRunTest, FailureBoxSaysWhyUnderItsTextAsTheLogDoes)
{
    const std::string url = "; URL https://updates.orvane.example/";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"count_result=0\nerrors=3 7 0\n",
         "getVersionCount: network (APIErrorCode 3): curl 7, Couldn't connect to server" + url},
        {"count_result=0\nerrors=7 0 0\n", "getVersionCount: signature (APIErrorCode 7)" + url},
        {"errors=10 28 0\nstatus=1 1 1 100 40 1\nstatus=0 1 1 100 40 0\n",
         "download: disk (APIErrorCode 10): errno 28, No space left on device; folders Extract " +
             folder.file("extract") + ", Target " + folder.file("target")},
    };
    for (const auto& [text, reason] : cases)
    {
        SCOPED_TRACE(reason);
        script = text;
        log.clear();
        run();
        EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
        EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, FAILED_TEXT}), messages);
        const std::string line = "failed at " + reason + "; log file: none";
        EXPECT_EQ(line, finalNote);
        EXPECT_EQ("", missing({"ERROR Run " + line, "INFO Download stopped"}));
    }
}

TEST_F(DialogRunTest, EmptyDestPathIsRefusedAndFailsWithTheBarFull)
{
    config.destPath = "";
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, FAILED_TEXT}), messages);
    EXPECT_EQ(1000, barAtFinalMessage);
    EXPECT_EQ("",
              missing({"INFO DownloadUpdate success", "ERROR No DestPath configured: move refused",
                       "ERROR FinalizeUpdate failure: *", "ERROR FinalizeUpdate failure",
                       "WARN Download failure return code: -11"}));
    EXPECT_EQ("new setup", folder.read("target/payload/setup.bin")) << "Target is left alone";
}

TEST_F(DialogRunTest, FailedMoveFailsTheRun)
{
    folder.write("dest", "a file where the destination folder should be");
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ("", missing({"ERROR FinalizeUpdate failure: *", "ERROR FinalizeUpdate failure"}));
}

TEST_F(DialogRunTest, FindWorkerThatCannotStartIsReportedAsAbandoned)
{
    platform::WorkerThread::failNextStartsForTesting(1);
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, FAILED_TEXT}), messages);
    EXPECT_EQ("", missing({"WARN FindUpdate CreateThread error: *",
                           "ERROR FindUpdate failure: thread abandoned",
                           "WARN Download failure return code: -11"}));
}

TEST_F(DialogRunTest, FinalizeWorkerThatCannotStartIsReportedAsAbandoned)
{
    onTick = [this]
    {
        if (dlg->state() == CQorDownloaderDlg::eState::Downloading)
        {
            platform::WorkerThread::failNextStartsForTesting(1);
        }
    };
    run();
    platform::WorkerThread::failNextStartsForTesting(0);
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ("",
              missing({"INFO DownloadUpdate success", "WARN FinalizeUpdate CreateThread error: *",
                       "ERROR FinalizeUpdate failure: thread abandoned", "INFO Download stopped",
                       "WARN Download failure return code: -11"}));
    EXPECT_TRUE(folder.exists("target"));
}

TEST_F(DialogRunTest, FlagFileClearsTheExtractFolderFirst)
{
    folder.write("flag.txt", "");
    folder.write("extract/old/part.bin", "old");
    folder.write("extract/top.bin", "old");
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_TRUE(folder.exists("extract"));
    EXPECT_FALSE(folder.exists("extract/top.bin"));
    EXPECT_FALSE(folder.exists("extract/old"));
    EXPECT_FALSE(folder.exists("flag.txt"));
    EXPECT_EQ("", missing({"INFO FlagFile found: flag.txt", "INFO Directory erased: extract",
                           "INFO FlagFile erased: flag.txt", "INFO downloadUntil: 2.5.0"}));
}

TEST_F(DialogRunTest, FlagFileInsideExtractGoesWithItsContents)
{
    config.flagFile = "extract/flag.txt";
    folder.write("extract/flag.txt", "");
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_TRUE(log.contains("INFO Directory erased: extract"));
    EXPECT_FALSE(log.containsPrefix("INFO FlagFile erased"));
    EXPECT_FALSE(log.containsPrefix("WARN Error when erasing"));
    EXPECT_FALSE(log.containsPrefix("WARN Delete error"));
}

TEST_F(DialogRunTest, FlagFileWithEmptyExtractIsRefusedWithoutErasingAnything)
{
    config.extract = "";
    folder.write("flag.txt", "");
    folder.write("keep/me.txt", "precious");
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ("", missing({"INFO FlagFile found: flag.txt",
                           "ERROR No Extract folder configured: erase refused",
                           "ERROR FindUpdate failure: thread return code NOK"}));
    EXPECT_FALSE(log.containsPrefix("INFO Directory erased"));
    EXPECT_EQ("precious", folder.read("keep/me.txt"));
    EXPECT_TRUE(folder.exists("flag.txt"));
}

TEST_F(DialogRunTest, EnterEscapeAndCloseDuringFindingCannotEndTheRun)
{
    bool poked = false;
    onTick = [&]
    {
        if (!poked && dlg->state() == CQorDownloaderDlg::eState::Finding)
        {
            poked = true;
            wxKeyEvent escape(wxEVT_CHAR_HOOK);
            escape.m_keyCode = WXK_ESCAPE;
            dlg->GetEventHandler()->ProcessEvent(escape);
            wxKeyEvent enter(wxEVT_CHAR_HOOK);
            enter.m_keyCode = WXK_RETURN;
            dlg->GetEventHandler()->ProcessEvent(enter);
            wxCommandEvent ok(wxEVT_BUTTON, wxID_OK);
            dlg->GetEventHandler()->ProcessEvent(ok);
            dlg->Close();
        }
    };
    run();
    EXPECT_TRUE(poked);
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ("", missing({"WARN Cancel action not allowed", "WARN Cancel action not allowed",
                           "INFO FindUpdate success", "INFO Download success return code: 1"}));
}

TEST_F(DialogRunTest, DestroyingTheDialogWaitsForARunningWorkerAndClosesTheLibrary)
{
    script = "init_delay_ms=700\n" + QUICK_SUCCESS;
    bool forced = false;
    onTick = [&]
    {
        // end the modal loop by force while the find worker is inside the library
        if (!forced && dlg->state() == CQorDownloaderDlg::eState::Finding &&
            library.count("initUpdInterEx") == 1)
        {
            forced = true;
            dlg->EndModal(wxID_CANCEL);
        }
    };
    run();
    ASSERT_TRUE(forced);
    EXPECT_EQ(CQorDownloaderApp::RC_NOT_SET, returnCode);
    dlg.reset();
    EXPECT_EQ(1, library.count("closeUpdInter")) << "closed before the library was freed";
    // the worker went on to the end of its steps, but its three progress
    // calls after the door closed were dropped, not run: only the one made
    // before the forced end reached the bar
    EXPECT_EQ(1, library.count("downloadUntil"));
    const auto lines = log.lines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "TRACE i_iPos: 10")) << log.text();
    EXPECT_FALSE(log.contains("INFO FindUpdate success"));
}

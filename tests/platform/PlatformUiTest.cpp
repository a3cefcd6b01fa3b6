// The wx stand-ins the dialog is built on: message boxes the program can end
// itself, worker threads polled like Win32 handles, and the synchronous door
// from a worker onto the UI thread.
#include "GuiTestSupport.h"

#include "platform/MessageBox.h"
#include "platform/UiThreadCall.h"
#include "platform/WorkerThread.h"

#include <gtest/gtest.h>
#include <wx/dialog.h>
#include <wx/frame.h>
#include <wx/timer.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using platform::MessageBox;
using platform::WorkerThread;

TEST(MessageBoxTest, AnswersKeepTheWindowsNumbers)
{
    qortest::PromptAnswers answers(
        [&](wxDialog* dialog)
        {
            const std::string message = qortest::messageOf(dialog);
            if (message == "yes")
                return wxID_YES;
            if (message == "no")
                return wxID_NO;
            if (message == "strange")
                return wxID_HELP;
            return wxID_OK;
        });
    const unsigned int question = platform::MB_YESNO | platform::MB_ICONQUESTION;
    EXPECT_EQ(platform::IDYES, platform::messageBox(nullptr, L"yes", L"t", question));
    EXPECT_EQ(platform::IDNO, platform::messageBox(nullptr, L"no", L"t", question));
    EXPECT_EQ(platform::IDCANCEL, platform::messageBox(nullptr, L"strange", L"t", question));
    EXPECT_EQ(platform::IDOK, platform::messageBox(nullptr, L"done", L"t",
                                                   platform::MB_OK | platform::MB_ICONINFORMATION));
    EXPECT_EQ((std::vector<std::string>{"yes", "no", "strange", "done"}), answers.messages);
}

TEST(MessageBoxTest, AnOpenBoxIsEndedFromATimerWithAbort)
{
    qortest::PromptAnswers answers([](wxDialog*) { return wxID_NONE; }); // really show it
    MessageBox box(nullptr, L"Do you really want to cancel the download ?", L"t",
                   platform::MB_YESNO | platform::MB_ICONQUESTION);
    EXPECT_FALSE(box.endWith(platform::IDABORT)) << "not open yet";
    bool sawItOpen = false;
    wxTimer timer;
    timer.Bind(wxEVT_TIMER,
               [&](wxTimerEvent&)
               {
                   sawItOpen = box.isOpen() && MessageBox::innermostOpen() == &box;
                   box.endWith(platform::IDABORT);
               });
    wxTimer watchdog;
    watchdog.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { box.endWith(platform::IDCANCEL); });
    timer.StartOnce(100);
    watchdog.StartOnce(5000);
    EXPECT_EQ(platform::IDABORT, box.showModal());
    EXPECT_TRUE(sawItOpen);
    EXPECT_FALSE(box.isOpen());
    EXPECT_EQ(nullptr, MessageBox::innermostOpen());
}

TEST(MessageBoxTest, EscapeOnAYesNoBoxAnswersNo)
{
    qortest::PromptAnswers answers([](wxDialog*) { return wxID_NONE; });
    MessageBox box(nullptr, L"q", L"t", platform::MB_YESNO);
    wxTimer timer;
    timer.Bind(wxEVT_TIMER,
               [&](wxTimerEvent&)
               {
                   wxDialog* dialog = nullptr;
                   for (wxWindow* window : wxTopLevelWindows)
                   {
                       if (auto* candidate = dynamic_cast<wxDialog*>(window);
                           candidate != nullptr && candidate->IsModal())
                       {
                           dialog = candidate;
                       }
                   }
                   if (dialog != nullptr)
                   {
                       wxKeyEvent escape(wxEVT_CHAR_HOOK);
                       escape.m_keyCode = WXK_ESCAPE;
                       escape.SetEventObject(dialog);
                       dialog->GetEventHandler()->ProcessEvent(escape);
                   }
               });
    wxTimer watchdog;
    watchdog.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { box.endWith(platform::IDCANCEL); });
    timer.StartOnce(100);
    watchdog.StartOnce(5000);
    EXPECT_EQ(platform::IDNO, box.showModal());
}

TEST(WorkerThreadTest, PollTellsRunningThenEndedWithTheExitCode)
{
    WorkerThread worker;
    EXPECT_EQ(WorkerThread::ePoll::Failed, worker.poll()) << "no thread is like a null handle";
    std::atomic<bool> release{false};
    ASSERT_TRUE(worker.start(
        [&]
        {
            while (!release)
            {
                std::this_thread::sleep_for(1ms);
            }
            return 1UL;
        }));
    EXPECT_EQ(WorkerThread::ePoll::Running, worker.poll());
    EXPECT_FALSE(worker.start([] { return 1UL; })) << "one thread per object";
    release = true;
    for (int i = 0; i < 2000 && worker.poll() == WorkerThread::ePoll::Running; ++i)
    {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(WorkerThread::ePoll::Ended, worker.poll());
    EXPECT_EQ(1UL, worker.exitCode());
    worker.close();
    EXPECT_EQ(WorkerThread::ePoll::Failed, worker.poll());
}

TEST(WorkerThreadTest, ThrowingRoutineEndsWithZeroAndFailedStartLooksLikeNullHandle)
{
    WorkerThread thrower;
    ASSERT_TRUE(thrower.start([]() -> unsigned long { throw std::runtime_error("boom"); }));
    for (int i = 0; i < 2000 && thrower.poll() == WorkerThread::ePoll::Running; ++i)
    {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(0UL, thrower.exitCode());

    WorkerThread::failNextStartsForTesting(1);
    WorkerThread refused;
    bool ran = false;
    EXPECT_FALSE(refused.start(
        [&]
        {
            ran = true;
            return 1UL;
        }));
    EXPECT_EQ(WorkerThread::ePoll::Failed, refused.poll());
    EXPECT_TRUE(refused.start([] { return 1UL; })) << "only the next start was made to fail";
    refused.close();
    EXPECT_FALSE(ran);
}

TEST(WorkerThreadTest, DestructorJoinsARunningThread)
{
    std::atomic<bool> finished{false};
    {
        WorkerThread worker;
        ASSERT_TRUE(worker.start(
            [&]
            {
                std::this_thread::sleep_for(150ms);
                finished = true;
                return 1UL;
            }));
    }
    EXPECT_TRUE(finished) << "the destructor returned before the routine ended";
}

TEST(UiThreadCallTest, WorkerCallsRunOnTheUiThreadAndWait)
{
    wxFrame frame(nullptr, wxID_ANY, "host");
    platform::UiThreadCall door(&frame);
    std::atomic<bool> ranOnUiThread{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> result{false};
    std::thread worker(
        [&]
        {
            result = door.run([&] { ranOnUiThread = wxIsMainThread(); });
            returned = true;
        });
    EXPECT_TRUE(qortest::pumpUntil([&] { return returned.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(ranOnUiThread);
    // on the UI thread itself the call runs at once
    bool direct = false;
    EXPECT_TRUE(door.run([&] { direct = true; }));
    EXPECT_TRUE(direct);
}

TEST(UiThreadCallTest, CloseReleasesAWaitingWorkerWithoutRunningItsCall)
{
    wxFrame frame(nullptr, wxID_ANY, "host");
    platform::UiThreadCall door(&frame);
    std::atomic<bool> ran{false};
    std::atomic<int> result{-1};
    std::thread worker([&] { result = door.run([&] { ran = true; }) ? 1 : 0; });
    // the UI thread does not pump: the worker is stuck until the door closes
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(-1, result.load());
    door.close();
    worker.join();
    EXPECT_EQ(0, result.load());
    qortest::pumpUntil([] { return false; }, 100); // the queued call is dropped
    EXPECT_FALSE(ran);
    EXPECT_FALSE(door.run([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

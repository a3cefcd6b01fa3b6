// Figures of the download dialog's moving parts, printed, never judged:
//   a synchronous call from a worker onto the UI thread (the progress updates
//   of the two workers), one status tick of the download phase against the
//   fake update-client library, and the memory a dialog leaves behind once
//   destroyed.
// Usage: qor_workflow_bench FAKE_LIBRARY
#include "logging/AppLogger.h"
#include "platform/UiThreadCall.h"
#include "workflow/CQorDownloaderDlg.h"

#include <log4cxx/level.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

class BenchApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Round trips of worker -> UI thread -> worker, with the UI thread in its loop.
void benchUiThreadCall(int calls)
{
    wxFrame host(nullptr, wxID_ANY, "bench");
    platform::UiThreadCall door(&host);
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(calls));
    wxEventLoop loop;
    std::thread worker(
        [&]
        {
            int counter = 0;
            for (int i = 0; i < calls; ++i)
            {
                const auto start = Clock::now();
                door.run([&] { ++counter; });
                micros.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            host.CallAfter([&] { loop.Exit(); });
        });
    loop.Run();
    worker.join();
    std::printf(
        "%-44s %9.1f us median, %9.1f us p99 (%d calls)\n", "UI-thread call from a worker",
        medianOf(micros),
        [&]
        {
            std::vector<double> sorted = micros;
            std::sort(sorted.begin(), sorted.end());
            return sorted[sorted.size() * 99 / 100];
        }(),
        calls);
}

// One tick of the download phase: library status, result, bar and label.
void benchStatusTick(int ticks)
{
    CQorDownloaderDlg dlg;
    if (!dlg.run().m_updInterFct.initAndLoadLibrary())
    {
        std::printf("status tick: the fake library did not load\n");
        return;
    }
    dlg.run().m_updInterFct.initUpdInterEx("", "", "", 1, "", "", "", "", "", "", "", "", "", "",
                                           30000, 30000, "", "");
    const auto start = Clock::now();
    for (int i = 0; i < ticks; ++i)
    {
        dlg.getStatusAuto();
    }
    const double perTick =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / ticks;
    std::printf("%-44s %9.1f us per tick (poll period 500000 us)\n", "download status tick",
                perTick);
}

void benchDialogMemory(int dialogs)
{
    {
        CQorDownloaderDlg warmUp; // first use loads templates and caches
    }
    wxTheApp->ProcessPendingEvents();
    const long before = residentKiB();
    for (int i = 0; i < dialogs; ++i)
    {
        CQorDownloaderDlg dlg;
        dlg.setPos(i % 1000);
    }
    wxTheApp->ProcessPendingEvents();
    const long after = residentKiB();
    std::printf("%-44s %9ld KiB after %d dialogs (RSS %ld KiB)\n", "memory left by created dialogs",
                after - before, dialogs, after);
}
} // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s FAKE_LIBRARY\n", argv[0]);
        return 2;
    }
    std::setlocale(LC_ALL, "");
    // a private working folder with the INI file naming the fake library
    char folder[] = "/tmp/qor-bench-workflow-XXXXXX";
    if (::mkdtemp(folder) == nullptr || ::chdir(folder) != 0)
    {
        return 2;
    }
    {
        std::ofstream ini("QorDownloader.ini");
        ini << "[CONFIG]\nClientLibrary=" << argv[1] << "\n";
        std::ofstream script("script.txt");
        script << "status=1 2 1 100 40 1\n";
    }
    ::setenv("QOR_FAKE_UPDINTER_SCRIPT", (std::string(folder) + "/script.txt").c_str(), 1);

    int toolkitArgc = 1;
    if (!wxEntryStart(toolkitArgc, argv))
    {
        std::fprintf(stderr, "no display\n");
        return 2;
    }
    // the figures are about the work, not about writing TRACE lines
    appLogger()->setLevel(log4cxx::Level::getOff());

    benchUiThreadCall(2000);
    benchStatusTick(5000);
    benchDialogMemory(50);

    wxEntryCleanup();
    std::filesystem::remove_all(folder);
    return 0;
}

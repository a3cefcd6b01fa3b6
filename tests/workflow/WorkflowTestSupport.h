// Shared pieces of the dialog tests: a private working folder with the two
// INI files, the fake update-client library's script and journal, a capture
// of every log line, a modal-dialog hook that answers prompts,
// and a capped run of the download dialog.
#pragma once

#include "workflow/CQorDownloaderDlg.h"

#include "GuiTestSupport.h"
#include "LogCapture.h"

#include <wx/modalhook.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace wftest
{
// A fresh folder that becomes the working directory for the test's life.
class TestFolder
{
public:
    TestFolder();
    ~TestFolder();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    void makeDir(const std::string& name) const;

private:
    std::string m_path;
    std::string m_previousDir;
};

// Everything the "QorDownloader" logger emits, also echoed to stderr when
// WFTEST_ECHO_LOG is set.
class LogCapture : public qortest::LogCapture
{
public:
    LogCapture();
};

using qortest::messageOf;
using qortest::PromptAnswers;
using qortest::pumpUntil;

// The script handed to the fake update-client library and its journal.
class FakeLibrary
{
public:
    explicit FakeLibrary(const TestFolder& folder);
    void script(const std::string& text) const;
    std::vector<std::string> journal() const;
    int count(const std::string& call) const;
    std::string callLine(const std::string& call) const;
    static std::string path();

private:
    std::string m_script;
};

// INI files of a normal run, in the working folder.
struct RunConfig
{
    std::string clientLibrary = FakeLibrary::path();
    std::string destPath = "dest";
    std::string extract = "extract";
    std::string target = "target";
    std::string flagFile = "flag.txt";
    std::string version = "1.0.0";
    std::string userProxy;
    std::string pswdProxy;
    std::string keepArchives;
    std::string url; // empty: the built-in one
};
void writeIni(const TestFolder& folder, const RunConfig& config);

// Clears the machine's proxy settings from the test's view.
void isolateEnvironment(const TestFolder& folder);

// Runs dlg modally; onTick runs every 25 ms on the UI thread while it is
// open. A run longer than timeoutMs fails the test and is ended by force.
struct RunResult
{
    int modalResult = 0;
    bool timedOut = false;
};
RunResult runDialog(CQorDownloaderDlg& dlg, const std::function<void()>& onTick = {},
                    int timeoutMs = 20000);

// Pumps events for up to timeoutMs until condition holds.
} // namespace wftest

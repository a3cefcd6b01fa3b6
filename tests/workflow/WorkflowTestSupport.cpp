#include "WorkflowTestSupport.h"

#include "platform/MessageBox.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/msgdlg.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace wftest
{
TestFolder::TestFolder()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/qor-workflow-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
    {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    m_path = buffer.data();
    m_previousDir = fs::current_path().string();
    fs::current_path(m_path);
}

TestFolder::~TestFolder()
{
    std::error_code ignored;
    fs::current_path(m_previousDir, ignored);
    fs::remove_all(m_path, ignored);
}

void TestFolder::write(const std::string& name, const std::string& content) const
{
    const fs::path target = fs::path(m_path) / name;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TestFolder::read(const std::string& name) const
{
    std::ifstream in(fs::path(m_path) / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool TestFolder::exists(const std::string& name) const
{
    std::error_code ignored;
    return fs::exists(fs::symlink_status(fs::path(m_path) / name, ignored));
}

void TestFolder::makeDir(const std::string& name) const
{
    fs::create_directories(fs::path(m_path) / name);
}

LogCapture::LogCapture()
{
    echoToStderr(std::getenv("WFTEST_ECHO_LOG") != nullptr);
}

FakeLibrary::FakeLibrary(const TestFolder& folder) : m_script(folder.file("fake-script.txt"))
{
    ::setenv("QOR_FAKE_UPDINTER_SCRIPT", m_script.c_str(), 1);
    script("");
}

void FakeLibrary::script(const std::string& text) const
{
    std::ofstream out(m_script, std::ios::trunc);
    out << text;
}

std::vector<std::string> FakeLibrary::journal() const
{
    std::vector<std::string> lines;
    std::ifstream in(m_script + ".journal");
    std::string line;
    while (std::getline(in, line))
    {
        lines.push_back(line);
    }
    return lines;
}

int FakeLibrary::count(const std::string& call) const
{
    int n = 0;
    for (const auto& line : journal())
    {
        if (line == call || line.rfind(call + "|", 0) == 0)
        {
            ++n;
        }
    }
    return n;
}

std::string FakeLibrary::callLine(const std::string& call) const
{
    for (const auto& line : journal())
    {
        if (line.rfind(call + "|", 0) == 0)
        {
            return line;
        }
    }
    return "";
}

std::string FakeLibrary::path()
{
    return QOR_FAKE_UPDINTER_PATH;
}

void writeIni(const TestFolder& folder, const RunConfig& config)
{
    std::ostringstream own;
    own << "[CONFIG]\nClientLibrary=" << config.clientLibrary << "\nDestPath=" << config.destPath
        << "\n[UPDATE]\nExtract=" << config.extract << "\nTarget=" << config.target
        << "\nFlagFile=" << config.flagFile << "\nVersion=" << config.version << "\n";
    if (!config.userProxy.empty() || !config.pswdProxy.empty())
    {
        own << "[PROXY]\nUserProxy=" << config.userProxy << "\nPswdProxy=" << config.pswdProxy
            << "\n";
    }
    folder.write("QorDownloader.ini", own.str());
    std::string updInter = "[KARVO]\nLanguage=EN\n";
    if (!config.keepArchives.empty())
    {
        updInter += "KeepArchives=" + config.keepArchives + "\n";
    }
    if (!config.url.empty())
    {
        updInter += "URL=" + config.url + "\n";
    }
    folder.write("UpdInter.ini", updInter);
}

void isolateEnvironment(const TestFolder& folder)
{
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy",
                             "HTTP_PROXY", "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY"})
    {
        ::unsetenv(name);
    }
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    ::setenv("HOME", folder.path().c_str(), 1);
}

RunResult runDialog(CQorDownloaderDlg& dlg, const std::function<void()>& onTick, int timeoutMs)
{
    RunResult result;
    wxTimer ticker;
    ticker.Bind(wxEVT_TIMER,
                [&](wxTimerEvent&)
                {
                    if (onTick)
                    {
                        onTick();
                    }
                });
    wxTimer watchdog;
    watchdog.Bind(wxEVT_TIMER,
                  [&](wxTimerEvent&)
                  {
                      result.timedOut = true;
                      // wx ends only the active loop: close an open box
                      // first, and the dialog at a later tick
                      if (auto* box = platform::MessageBox::innermostOpen())
                      {
                          box->endWith(platform::IDCANCEL);
                          watchdog.StartOnce(200);
                          return;
                      }
                      if (dlg.IsModal())
                      {
                          dlg.EndModal(wxID_ABORT);
                      }
                  });
    ticker.Start(25);
    watchdog.StartOnce(timeoutMs);
    result.modalResult = dlg.ShowModal();
    ticker.Stop();
    watchdog.Stop();
    EXPECT_FALSE(result.timedOut) << "the dialog did not end in " << timeoutMs << " ms";
    return result;
}

} // namespace wftest

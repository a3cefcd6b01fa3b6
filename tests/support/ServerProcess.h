// Runs one of the servers of servers.py (nginx, tinyproxy, the fault server)
// as a child process for a test, and stops it when the object goes away.
//
//   ServerProcess web({"nginx", "--root", repo});
//   ASSERT_TRUE(web.started()) << web.failure();
//   std::string base = web.url();   // "http://127.0.0.1:<port>"
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace qortest
{
class ServerProcess
{
public:
    explicit ServerProcess(std::vector<std::string> arguments);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool started() const { return m_port > 0; }
    const std::string& failure() const { return m_failure; }
    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    // Folder private to this server (port file, logs it was told to write).
    const std::string& folder() const { return m_folder; }
    void stop();

private:
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_folder;
    std::string m_failure;
};

// A fresh folder under the system's temporary directory, removed afterwards.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Runs a program to its end; returns its exit status, or -1.
int runProgram(const std::vector<std::string>& arguments, std::string* output = nullptr);

std::string readTextFile(const std::string& path);
bool writeTextFile(const std::string& path, const std::string& text);
} // namespace qortest

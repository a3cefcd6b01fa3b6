// Runs a program in a folder of its own with a chosen environment, its
// standard output and error going to files; every wait is capped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

class ChildProcess
{
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& workingFolder, const std::map<std::string, std::string>& env);
    ~ChildProcess(); // kills a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const noexcept { return m_pid > 0; }
    pid_t pid() const noexcept { return m_pid; }
    // The exit status as a shell sees it (0..255), or nothing when the child
    // did not end in time or died of a signal.
    std::optional<int> wait(std::chrono::milliseconds limit);
    bool running();
    void kill();

    std::string standardOutput() const;
    std::string standardError() const;

private:
    pid_t m_pid = -1;
    bool m_bReaped = false;
    int m_status = 0;
    std::string m_stdoutPath;
    std::string m_stderrPath;
};

// Reads a whole file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);
// The lines of a text, without their line ends.
std::vector<std::string> splitLines(const std::string& text);
// A LogQorDownloader.xml that writes "LEVEL message" lines from level up
// into run.log in the working folder.
std::string runLogConfiguration(const std::string& level);
// Polls check() every 50 ms until it holds or limit passes.
template <typename Check> bool waitUntil(Check check, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!check())
    {
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return false;
        }
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <fstream>
#include <sstream>

namespace
{
int g_spawnCount = 0;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingFolder,
                           const std::map<std::string, std::string>& env)
{
    const std::string tag = std::to_string(++g_spawnCount);
    m_stdoutPath = workingFolder + "/stdout-" + tag + ".txt";
    m_stderrPath = workingFolder + "/stderr-" + tag + ".txt";

    std::vector<std::string> argvText = {program};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argvText)
    {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (const auto& [name, value] : env)
    {
        envText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& text : envText)
    {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess()
{
    kill();
}

bool ChildProcess::running()
{
    if (m_pid <= 0 || m_bReaped)
    {
        return false;
    }
    if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
    {
        m_bReaped = true;
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit)
{
    if (m_pid <= 0)
    {
        return std::nullopt;
    }
    waitUntil([this] { return !running(); }, limit);
    if (!m_bReaped || !WIFEXITED(m_status))
    {
        return std::nullopt;
    }
    return WEXITSTATUS(m_status);
}

void ChildProcess::kill()
{
    if (running())
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
        m_bReaped = true;
    }
}

std::string ChildProcess::standardOutput() const
{
    return readWholeFile(m_stdoutPath);
}
std::string ChildProcess::standardError() const
{
    return readWholeFile(m_stderrPath);
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

std::string runLogConfiguration(const std::string& level)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="Run" class="QorDwnlFileAppender">
    <param name="File" value="run.log"/>
    <param name="Append" value="false"/>
    <layout class="org.apache.log4j.PatternLayout">
      <param name="ConversionPattern" value="%p %m%n"/>
    </layout>
  </appender>
  <root>
    <priority value=")" +
           level + R"("/>
    <appender-ref ref="Run"/>
  </root>
</log4j:configuration>
)";
}

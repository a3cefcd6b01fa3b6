#include "ServerProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qortest
{
namespace
{
constexpr auto START_LIMIT = std::chrono::seconds(20);

std::vector<char*> argvOf(std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return argv;
}

std::string makeTempFolder(const char* prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        return {};
    }
    return pattern;
}
} // namespace

ServerProcess::ServerProcess(std::vector<std::string> arguments)
{
    m_folder = makeTempFolder("qor-server-");
    const std::string portFile = m_folder + "/port";
    std::vector<std::string> command = {"python3", QOR_SERVERS_PY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back("--port-file");
    command.push_back(portFile);
    std::vector<char*> argv = argvOf(command);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string logFile = m_folder + "/output.log";
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = ::posix_spawnp(&m_pid, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
    {
        m_pid = -1;
        m_failure = "cannot start python3";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + START_LIMIT;
    while (std::chrono::steady_clock::now() < deadline)
    {
        std::ifstream in(portFile);
        int port = 0;
        if (in >> port && port > 0)
        {
            m_port = port;
            return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
        {
            m_pid = -1;
            m_failure = "server exited: " + readTextFile(logFile);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    m_failure = "server did not start: " + readTextFile(logFile);
    stop();
}

ServerProcess::~ServerProcess()
{
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

void ServerProcess::stop()
{
    if (m_pid <= 0)
    {
        return;
    }
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 200; ++i)
    {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
        {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

TempFolder::TempFolder() : m_path(makeTempFolder("qor-test-")) {}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

int runProgram(const std::vector<std::string>& arguments, std::string* output)
{
    std::vector<std::string> copy = arguments;
    std::vector<char*> argv = argvOf(copy);
    char outputPattern[] = "/tmp/qor-run-XXXXXX";
    const int outputFd = ::mkstemp(outputPattern);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0)
    {
        posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
        posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    }
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    const bool ran = spawned == 0 && ::waitpid(pid, &status, 0) == pid;
    if (outputFd >= 0)
    {
        ::close(outputFd);
        if (output != nullptr)
        {
            *output = readTextFile(outputPattern);
        }
        ::unlink(outputPattern);
    }
    return ran && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeTextFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}
} // namespace qortest

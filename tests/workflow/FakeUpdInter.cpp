// A stand-in update-client library for the dialog tests. It exports the nine
// entry points and plays a script: the file that QOR_FAKE_UPDINTER_SCRIPT
// names, read at initUpdInterEx, one "key=value" a line:
//
//   init_result=1          result reported after initUpdInterEx
//   init_delay_ms=0        time initUpdInterEx takes
//   count_result=1         result after getVersionCount
//   count=1                the version count it reports
//   info_result=1          result after getVersionInfo
//   version=2.5.0          the version text of getVersionInfo
//   errors=11 22 33        what getResultUpdInterEx reports
//   status=1 1 1 100 50 1  one poll of getStatusUpdInter: status, NbUpdate,
//                          current update, NbBlock, current block, then the
//                          result reported after it; the lines are played in
//                          order, the last one repeats
//   hold_file=/path        while this file is missing the poll repeats the
//   hold=1 1 1 100 30 1    "hold" line instead of going on with the script
//   stop_after=2           polls after closeDownload that still report 1
//   stopped=0 1 1 100 40 0 the poll once it has stopped
//   unload_delay_ms=0      time the library takes to unload (after "unload"
//                          is journaled), a moment after the run's outcome
//
// Every call is appended to <script>.journal, so tests can check what the
// program passed and how often it called.
#include "updclient/UpdInterApi.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace
{
struct Poll
{
    std::int32_t values[6] = {0, -1, -1, -1, -1, 0};
};

struct Script
{
    std::int32_t initResult = 1;
    int initDelayMs = 0;
    std::int32_t countResult = 1;
    std::int32_t count = 1;
    std::int32_t infoResult = 1;
    std::string version = "2.5.0";
    std::int32_t errors[3] = {0, 0, 0};
    std::vector<Poll> polls;
    std::string holdFile;
    Poll hold;
    bool hasHold = false;
    int stopAfter = 0;
    Poll stopped;
    int unloadDelayMs = 0;
};

std::mutex s_mutex;
Script s_script;
std::string s_journal;
std::int32_t s_result = 0;
std::size_t s_nextPoll = 0;
bool s_closeDownloadSeen = false;
int s_pollsSinceClose = 0;

Poll parsePoll(const std::string& text)
{
    Poll poll;
    std::istringstream in(text);
    for (auto& value : poll.values)
    {
        in >> value;
    }
    return poll;
}

void journal(const std::string& line)
{
    if (s_journal.empty())
    {
        return;
    }
    std::ofstream out(s_journal, std::ios::app);
    out << line << '\n';
}

void loadScript()
{
    s_script = Script{};
    s_nextPoll = 0;
    s_closeDownloadSeen = false;
    s_pollsSinceClose = 0;
    s_result = 0;
    const char* path = std::getenv("QOR_FAKE_UPDINTER_SCRIPT");
    if (path == nullptr)
    {
        return;
    }
    s_journal = std::string(path) + ".journal";
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
    {
        const auto equal = line.find('=');
        if (equal == std::string::npos)
        {
            continue;
        }
        const std::string key = line.substr(0, equal);
        const std::string value = line.substr(equal + 1);
        if (key == "init_result")
            s_script.initResult = std::stoi(value);
        else if (key == "init_delay_ms")
            s_script.initDelayMs = std::stoi(value);
        else if (key == "count_result")
            s_script.countResult = std::stoi(value);
        else if (key == "count")
            s_script.count = std::stoi(value);
        else if (key == "info_result")
            s_script.infoResult = std::stoi(value);
        else if (key == "version")
            s_script.version = value;
        else if (key == "errors")
        {
            std::istringstream codes(value);
            codes >> s_script.errors[0] >> s_script.errors[1] >> s_script.errors[2];
        }
        else if (key == "status")
            s_script.polls.push_back(parsePoll(value));
        else if (key == "hold_file")
            s_script.holdFile = value;
        else if (key == "hold")
        {
            s_script.hold = parsePoll(value);
            s_script.hasHold = true;
        }
        else if (key == "stop_after")
            s_script.stopAfter = std::stoi(value);
        else if (key == "stopped")
            s_script.stopped = parsePoll(value);
        else if (key == "unload_delay_ms")
            s_script.unloadDelayMs = std::stoi(value);
    }
}

// Destroyed first of the library's objects, when the program unloads it.
struct Unloading
{
    ~Unloading()
    {
        if (s_script.unloadDelayMs > 0)
        {
            journal("unload");
            std::this_thread::sleep_for(std::chrono::milliseconds(s_script.unloadDelayMs));
        }
    }
} s_unloading;

bool fileExists(const std::string& path)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0;
}

std::string text(const char* value)
{
    return value == nullptr ? std::string("<null>") : std::string(value);
}
} // namespace

extern "C"
{

    __attribute__((visibility("default"))) std::int32_t
    initUpdInterEx(const char* key, const char* productCode, const char* statsUrl,
                   std::int32_t keepArchives, const char* extract, const char* target,
                   const char* flagFile, const char* userProxy, const char* pswdProxy,
                   const char* url, const char* notesPswd, const char* application,
                   const char* language, const char* version, std::int32_t connectTimeoutMs,
                   std::int32_t stallTimeoutMs, const char* reserved1, const char* reserved2)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        loadScript();
        std::ostringstream line;
        line << "initUpdInterEx|" << text(key) << '|' << text(productCode) << '|' << text(statsUrl)
             << '|' << keepArchives << '|' << text(extract) << '|' << text(target) << '|'
             << text(flagFile) << '|' << text(userProxy) << '|' << text(pswdProxy) << '|'
             << text(url) << '|' << text(notesPswd) << '|' << text(application) << '|'
             << text(language) << '|' << text(version) << '|' << connectTimeoutMs << '|'
             << stallTimeoutMs << '|' << text(reserved1) << '|' << text(reserved2);
        journal(line.str());
        s_result = s_script.initResult;
        if (s_script.initDelayMs > 0)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(s_script.initDelayMs));
        }
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t closeUpdInter()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        journal("closeUpdInter");
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t getVersionCount(std::int32_t* count)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        journal("getVersionCount|" + std::to_string(*count));
        *count = s_script.count;
        s_result = s_script.countResult;
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t
    getVersionInfo(std::int32_t index, char* version, std::int32_t versionCapacity, char* notes,
                   std::int32_t notesCapacity, std::int32_t* fileCount, std::int32_t* sizeKiB,
                   std::int32_t* updateCount)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        journal("getVersionInfo|" + std::to_string(index) + '|' + std::to_string(versionCapacity) +
                '|' + std::to_string(notesCapacity));
        std::strncpy(version, s_script.version.c_str(), static_cast<std::size_t>(versionCapacity));
        std::strncpy(notes, "notes", static_cast<std::size_t>(notesCapacity));
        *fileCount = 1;
        *sizeKiB = 1;
        *updateCount = 1;
        s_result = s_script.infoResult;
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t downloadUntil(const char* version)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        journal("downloadUntil|" + text(version));
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t closeDownload()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        journal("closeDownload");
        s_closeDownloadSeen = true;
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t
    getStatusUpdInter(std::int32_t* status, std::int32_t* nbUpdate, std::int32_t* currentUpdate,
                      std::int32_t* nbBlock, std::int32_t* currentBlock)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        Poll poll;
        if (s_closeDownloadSeen)
        {
            // still busy for a few polls after being asked to stop
            if (s_pollsSinceClose++ < s_script.stopAfter)
            {
                poll = s_script.hasHold ? s_script.hold : Poll{{1, 1, 1, 100, 50, 1}};
            }
            else
            {
                poll = s_script.stopped;
            }
        }
        else if (s_script.hasHold && !s_script.holdFile.empty() && !fileExists(s_script.holdFile))
        {
            poll = s_script.hold;
        }
        else if (!s_script.polls.empty())
        {
            poll = s_script.polls[std::min(s_nextPoll, s_script.polls.size() - 1)];
            ++s_nextPoll;
        }
        *status = poll.values[0];
        *nbUpdate = poll.values[1];
        *currentUpdate = poll.values[2];
        *nbBlock = poll.values[3];
        *currentBlock = poll.values[4];
        s_result = poll.values[5];
        journal("getStatusUpdInter|" + std::to_string(*status));
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t getResultUpdInter(std::int32_t* result)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        *result = s_result;
        return 0;
    }

    __attribute__((visibility("default"))) std::int32_t
    getResultUpdInterEx(std::int32_t* apiErrorCode, std::int32_t* primaryErrorCode,
                        std::int32_t* secondaryErrorCode)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        *apiErrorCode = s_script.errors[0];
        *primaryErrorCode = s_script.errors[1];
        *secondaryErrorCode = s_script.errors[2];
        return 0;
    }

} // extern "C"

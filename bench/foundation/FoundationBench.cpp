// Figures for the directory-tree operations and the cost of a disabled log
// statement. Driven by run.sh, which times the shell tools beside it.
//
//   qor_foundation_bench maketree DIR FOLDERS FILES_PER_FOLDER
//   qor_foundation_bench erase DIR          prints seconds taken by eraseTree
//   qor_foundation_bench move SOURCE DEST   prints seconds taken by moveTree
//   qor_foundation_bench log                prints ns per disabled statement
//   qor_foundation_bench seam               prints ns per write, bare and
//                                           through the system-call seam
//   qor_foundation_bench land SOURCE DEST durable|batched
//                                           prints seconds taken to write
//                                           every regular file of SOURCE
//                                           under DEST by atomic replace,
//                                           flushed per file or once at the end
#include "logging/AppLogger.h"
#include "platform/AtomicFile.h"
#include "platform/SystemCalls.h"
#include "tools/DirectoryTree.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the compiler from dropping a loop whose result nobody reads.
template <typename T> void keep(T const& value)
{
    asm volatile("" : : "r,m"(value) : "memory");
}

int makeTree(const std::string& root, int folders, int files)
{
    std::filesystem::create_directories(root);
    for (int folder = 0; folder < folders; ++folder)
    {
        const std::string dir = root + "/folder" + std::to_string(folder);
        std::filesystem::create_directory(dir);
        for (int file = 0; file < files; ++file)
        {
            std::ofstream(dir + "/file" + std::to_string(file) + ".dat") << "small file " << file;
        }
    }
    return 0;
}

std::wstring wide(const char* path)
{
    const std::string narrow(path);
    return std::wstring(narrow.begin(), narrow.end());
}

int logCost()
{
    constexpr long ROUNDS = 200'000'000;
    const log4cxx::LoggerPtr& logger = appLogger();
    logger->setLevel(log4cxx::Level::getInfo());
    long evaluated = 0;

    // alternating blocks, the fastest of each kind: the machine may be busy
    constexpr int BLOCKS = 10;
    double bare = 1e9;
    double statement = 1e9;
    for (int block = 0; block < BLOCKS; ++block)
    {
        auto start = Clock::now();
        for (long i = 0; i < ROUNDS / BLOCKS; ++i)
        {
            // the bare level check, on a logger pointer already held
            const bool enabled = logger->isTraceEnabled();
            keep(enabled);
        }
        bare = std::min(bare, secondsSince(start) * 1e9 / (ROUNDS / BLOCKS));

        start = Clock::now();
        for (long i = 0; i < ROUNDS / BLOCKS; ++i)
        {
            // the whole statement: accessor, null check, level check
            QOR_LOG_TRACE("Progress: " << ++evaluated << " of " << i);
            keep(i);
        }
        statement = std::min(statement, secondsSince(start) * 1e9 / (ROUNDS / BLOCKS));
    }
    std::printf("bare level check        %6.2f ns\n", bare);
    std::printf("disabled log statement  %6.2f ns   (difference %+.2f ns, goal within 2 ns)\n",
                statement, statement - bare);
    return evaluated == 0 ? 0 : 1;
}
// A small write to /dev/null costs a system call and nothing else, so the
// seam's own work (the unset fault hook's check, the retry loop) shows
// against it.
int seamCost()
{
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return 1;
    }
    constexpr long WRITES = 2000000;
    constexpr int BLOCKS = 10;
    const char data[64] = {};
    double bare = 1e9;
    double seam = 1e9;
    int failures = 0;
    for (int block = 0; block < BLOCKS; ++block)
    {
        auto start = Clock::now();
        for (long i = 0; i < WRITES / BLOCKS; ++i)
        {
            failures += ::write(fd, data, sizeof data) == static_cast<ssize_t>(sizeof data) ? 0 : 1;
        }
        bare = std::min(bare, secondsSince(start) * 1e9 / (WRITES / BLOCKS));

        start = Clock::now();
        for (long i = 0; i < WRITES / BLOCKS; ++i)
        {
            failures += platform::SystemCalls::writeAll(fd, data, sizeof data) == 0 ? 0 : 1;
        }
        seam = std::min(seam, secondsSince(start) * 1e9 / (WRITES / BLOCKS));
    }
    ::close(fd);
    std::printf("write(2) of 64 bytes    %6.2f ns\n", bare);
    std::printf("through the seam        %6.2f ns   (difference %+.2f ns, fault hook unset)\n",
                seam, seam - bare);
    return failures == 0 ? 0 : 1;
}
// The files are read first, so that only the writing and its flushes count.
int landFiles(const std::string& source, const std::string& destination, bool durable)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(source))
    {
        if (entry.is_regular_file() && !entry.is_symlink())
        {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            files.emplace_back(std::filesystem::relative(entry.path(), source).string(),
                               content.str());
        }
    }
    const auto start = Clock::now();
    platform::AtomicFile::Options options;
    options.durable = durable;
    for (const auto& [path, content] : files)
    {
        const std::filesystem::path placed = std::filesystem::path(destination) / path;
        std::filesystem::create_directories(placed.parent_path());
        if (platform::AtomicFile::replace(placed.string(), content, options) != 0)
        {
            return 1;
        }
    }
    if (!durable && platform::SystemCalls::syncFileSystem(destination) != 0)
    {
        return 1;
    }
    std::printf("%.3f\n", secondsSince(start));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "maketree" && argc == 5)
    {
        return makeTree(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (mode == "erase" && argc == 3)
    {
        const auto start = Clock::now();
        const bool ok = eraseTree(wide(argv[2]), true);
        std::printf("%.3f\n", secondsSince(start));
        return ok ? 0 : 1;
    }
    if (mode == "move" && argc == 4)
    {
        const auto start = Clock::now();
        const bool ok = moveTree(wide(argv[2]), wide(argv[3]));
        std::printf("%.3f\n", secondsSince(start));
        return ok ? 0 : 1;
    }
    if (mode == "log" && argc == 2)
    {
        return logCost();
    }
    if (mode == "seam" && argc == 2)
    {
        return seamCost();
    }
    if (mode == "land" && argc == 5)
    {
        return landFiles(argv[2], argv[3], std::string(argv[4]) == "durable");
    }
    std::fprintf(stderr,
                 "usage: %s maketree DIR FOLDERS FILES | erase DIR | move SRC DEST | log | seam | "
                 "land SRC DEST durable|batched\n",
                 argv[0]);
    return 2;
}

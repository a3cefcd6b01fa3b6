// Drives libPelvane.so the way the program does and prints figures:
//   pelvane_bench download LIB URL EXTRACT TARGET  -> seconds, MiB/s, peak RSS
//   pelvane_bench cancel   LIB URL EXTRACT TARGET  -> closeDownload to status 0
//   pelvane_bench status   LIB                     -> cost of one getStatusUpdInter
// The repository must hold product BENCH, channel APP/EN, signed by the key
// whose pin is in PELVANE_BENCH_PIN.
#include "tests/pelvane/PelvaneLibrary.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace
{
using Library = pelvanetest::PelvaneLibrary;

double peakRssMiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::int32_t statusOf(const Library& lib)
{
    std::int32_t s = 0, a = -1, b = -1, c = -1, d = -1;
    lib.getStatusUpdInter(&s, &a, &b, &c, &d);
    return s;
}

bool start(const Library& lib, const char* url, const char* extract, const char* target)
{
    const char* pin = std::getenv("PELVANE_BENCH_PIN");
    lib.initUpdInterEx(pin != nullptr ? pin : "", "BENCH", "", 1, extract, target, "", "", "", url,
                       "", "APP", "EN", "", 30000, 30000, "", "");
    std::int32_t count = -1;
    lib.getVersionCount(&count);
    char version[1024] = {};
    char notes[4096] = {};
    std::int32_t files = 0, kib = 0, updates = 0;
    lib.getVersionInfo(0, version, 1023, notes, 4095, &files, &kib, &updates);
    std::int32_t result = 0;
    lib.getResultUpdInter(&result);
    if (count < 1 || result != 1)
    {
        std::int32_t api = 0, primary = 0, secondary = 0;
        lib.getResultUpdInterEx(&api, &primary, &secondary);
        std::fprintf(stderr, "no update found: api %d primary %d secondary %d\n", api, primary,
                     secondary);
        return false;
    }
    lib.downloadUntil(version);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr,
                     "usage: pelvane_bench download|cancel|status LIB [URL EXTRACT TARGET]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const Library lib = Library::load(argv[2]);
    if (!lib.error.empty())
    {
        std::fprintf(stderr, "%s: %s\n", argv[2], lib.error.c_str());
        return 2;
    }
    if (mode == "status")
    {
        constexpr int CALLS = 2000000;
        std::int32_t sink = 0;
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < CALLS; ++i)
        {
            sink += statusOf(lib);
        }
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin)
                .count() /
            CALLS;
        std::printf("getStatusUpdInter: %.1f ns per call (%d)\n", ns, sink);
        return 0;
    }
    if (argc < 6)
    {
        return 2;
    }
    const auto begin = std::chrono::steady_clock::now();
    if (!start(lib, argv[3], argv[4], argv[5]))
    {
        return 1;
    }
    if (mode == "cancel")
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto asked = std::chrono::steady_clock::now();
        lib.closeDownload();
        while (statusOf(lib) == 1)
        {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                .count();
        std::printf("closeDownload to status 0: %.1f ms\n", ms);
        lib.closeUpdInter();
        return 0;
    }
    // while it downloads, the poll is measured under load too
    double worstPollNs = 0;
    while (true)
    {
        const auto before = std::chrono::steady_clock::now();
        const std::int32_t s = statusOf(lib);
        worstPollNs = std::max(worstPollNs, std::chrono::duration<double, std::nano>(
                                                std::chrono::steady_clock::now() - before)
                                                .count());
        if (s != 1)
        {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::int32_t result = 0;
    lib.getResultUpdInter(&result);
    std::int32_t api = 0, primary = 0, secondary = 0;
    lib.getResultUpdInterEx(&api, &primary, &secondary);
    lib.closeUpdInter();
    std::printf("result %d (api %d): %.3f s, peak RSS %.1f MiB, slowest status poll %.1f us\n",
                result, api, seconds, peakRssMiB(), worstPollNs / 1000.0);
    return result == 1 ? 0 : 1;
}

// Updates a client from INSTALLED to the newest version through
// libPelvane.so and prints the time, the peak RSS and the final status
// (only the check's time when INSTALLED is the newest):
//   chunk_bench LIB URL EXTRACT TARGET INSTALLED
// The repository must hold product BENCH, channel APP/EN, signed by the key
// whose pin is in PELVANE_BENCH_PIN.
#include "tests/pelvane/PelvaneLibrary.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <thread>

int main(int argc, char** argv)
{
    if (argc < 6)
    {
        std::fprintf(stderr, "usage: chunk_bench LIB URL EXTRACT TARGET INSTALLED\n");
        return 2;
    }
    const pelvanetest::PelvaneLibrary lib = pelvanetest::PelvaneLibrary::load(argv[1]);
    if (lib.handle == nullptr)
    {
        std::fprintf(stderr, "%s: %s\n", argv[1], lib.error.c_str());
        return 2;
    }
    const auto begin = std::chrono::steady_clock::now();
    const char* pin = std::getenv("PELVANE_BENCH_PIN");
    lib.initUpdInterEx(pin != nullptr ? pin : "", "BENCH", "", 1, argv[3], argv[4], "", "", "",
                       argv[2], "", "APP", "EN", argv[5], 30000, 30000, "", "");
    std::int32_t count = -1;
    lib.getVersionCount(&count);
    if (count == 0)
    {
        // INSTALLED is the newest: the run is the check alone
        std::int32_t api = 0, primary = 0, secondary = 0;
        lib.getResultUpdInterEx(&api, &primary, &secondary);
        lib.closeUpdInter();
        std::printf("no newer version (api %d): %.3f s\n", api,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin)
                        .count());
        return api == 0 ? 0 : 1;
    }
    char version[1024] = {};
    char notes[4096] = {};
    std::int32_t files = 0, kib = 0, updates = 0;
    lib.getVersionInfo(0, version, 1023, notes, 4095, &files, &kib, &updates);
    lib.downloadUntil(version);
    std::int32_t status = 1, nbUpdate = -1, current = -1, nbBlock = -1, block = -1;
    while (status == 1)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lib.getStatusUpdInter(&status, &nbUpdate, &current, &nbBlock, &block);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::int32_t result = 0, api = 0, primary = 0, secondary = 0;
    lib.getResultUpdInter(&result);
    lib.getResultUpdInterEx(&api, &primary, &secondary);
    lib.closeUpdInter();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("result %d (api %d) to %s: %.3f s, peak RSS %.1f MiB, updates %d, last update "
                "%d blocks\n",
                result, api, version, seconds, static_cast<double>(usage.ru_maxrss) / 1024.0,
                nbUpdate, nbBlock);
    return result == 1 ? 0 : 1;
}

// libFuzzer target for the stored proxy password: any stored text
// unscrambles to half its length, and any password survives a round trip.
#include "updclient/PasswordScrambling.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (unscramblePassword(text).size() != text.size() / 2)
    {
        std::fprintf(stderr, "unscrambled length is not half the stored length\n");
        std::abort();
    }
    const std::string stored = scramblePassword(text);
    for (const char c : stored)
    {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            std::abort();
    }
    if (stored.size() != text.size() * 2 || unscramblePassword(stored) != text)
    {
        std::fprintf(stderr, "password does not survive the round trip\n");
        std::abort();
    }
    return 0;
}

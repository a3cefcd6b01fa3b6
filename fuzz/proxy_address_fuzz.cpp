// libFuzzer target for proxy addresses from the environment: whatever a
// variable holds, what goes into the Windows-form server list is a plain
// host and port taken from it, which cannot add or split list entries.
#include "platform/ProxySettings.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string address(reinterpret_cast<const char*>(data), size);
    const std::string hostPort = platform::proxyHostPort(address);
    if (hostPort.find_first_of(";= \t\r\n@/") != std::string::npos)
        std::abort();
    if (address.find(hostPort) == std::string::npos)
        std::abort();
    return 0;
}

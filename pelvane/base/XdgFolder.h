// The library's per-user folders follow the XDG base directories: the
// variable when it holds an absolute path, else a folder under $HOME, else
// none (empty) rather than a guess relative to the working folder.
#pragma once

#include <cstdlib>
#include <string>

namespace pelvane
{
// xdgFolder("XDG_STATE_HOME", ".local/state"), xdgFolder("XDG_CACHE_HOME", ".cache")
inline std::string xdgFolder(const char* variable, const char* underHome)
{
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
    {
        return value;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) + "/" + underHome : std::string();
}
} // namespace pelvane

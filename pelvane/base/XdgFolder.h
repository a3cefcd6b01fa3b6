// The library's per-user folders follow the XDG base directories: the
// variable when it holds an absolute path, else a folder under $HOME, else
// none (empty) rather than a guess relative to the working folder.
//
// The state folder ($XDG_STATE_HOME/pelvane) holds what the library must
// remember between runs (the serial state, and any other small record
// beside it): private to its owner, each file written atomically and read
// only within its bound (safefiles::readSmallFile).
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

// $XDG_STATE_HOME/pelvane (else ~/.local/state/pelvane); empty without either.
inline std::string stateFolder()
{
    const std::string folder = xdgFolder("XDG_STATE_HOME", ".local/state");
    return folder.empty() ? folder : folder + "/pelvane";
}

// Creates `folder` and what is missing above it, each new one 0700; 0 or an errno.
int makeStateFolder(const std::string& folder);
} // namespace pelvane

// The user's base folders as the XDG base-directory rules name them.
#pragma once

#include <string>

namespace platform
{
// The home folder: HOME when set, else the password database's entry of
// the process's user; empty when neither names one.
std::string homeFolder();
// XDG_STATE_HOME when it is an absolute path (a relative one is ignored, as
// the rules say), else <home>/.local/state; empty without a home folder.
std::string userStateFolder();
} // namespace platform

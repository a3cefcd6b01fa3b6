// Where this run's log goes, for a person reading a failure on the console.
#pragma once

#include <string>

// The absolute path of every file the program's logger writes to (the
// logger's own appenders and the root's), separated by ", "; "none" when the
// log is not written to a file.
std::string runLogFile();

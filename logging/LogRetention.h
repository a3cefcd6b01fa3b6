// Keeps a folder of per-run log files from growing without end: of the
// regular files whose names fit the file-name part of a log4cxx File pattern
// (with or without a run suffix, see withRunSuffix), the newest few stay and
// the others go. Files that do not fit the pattern,
// links, folders and the file being written are never touched.
#pragma once

#include <string>
#include <vector>

class LogRetention
{
public:
    // True when name could have come from the file-name pattern: literal text
    // must be equal, each conversion (%d{...}, %p, %t, ...) stands for any
    // text, "%%" for one percent sign.
    static bool fitsPattern(const std::string& namePattern, const std::string& name);
    // True when the pattern holds a conversion, so that its rendering
    // depends on when (or by which thread) the file is opened.
    static bool hasConversion(const std::string& pattern);

    // The name of the number-th file of runs that rendered the same name:
    // "run.log" gives "run-2.log" for 2 (before the extension, else at the
    // end). fitsPattern's callers here count such names as fitting too.
    static std::string withRunSuffix(const std::string& name, int number);

    // Keeps the newest keep files (by modification time, then name) of the
    // folder of currentFile that fit the last part of filePattern, counting
    // currentFile among them, and removes the rest. keep 0 removes nothing.
    // Returns the paths it removed; a file that cannot be removed is left
    // and reported in failures.
    static std::vector<std::string> prune(const std::string& filePattern,
                                          const std::string& currentFile, int keep,
                                          std::vector<std::string>* failures = nullptr);
};

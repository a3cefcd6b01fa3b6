// The working folder of a desktop user's runs (--user-folder):
// <XDG_STATE_HOME or ~/.local/state>/qordownloader, the same folder as the
// per-user timer's. Before the run starts it is created when missing, each
// settings file it lacks is copied from the administrator's folder
// (/etc/qordownloader, or QORDOWNLOADER_ETC_DIR), and it becomes the working
// directory. A file already there is the user's own and is never replaced;
// a copy is readable by its owner only, as it may come to hold proxy
// credentials. Without QorDownloader.ini there afterwards the run cannot
// start, and the texts say which files are needed where.
#pragma once

#include <string>
#include <vector>

class UserWorkingFolder
{
public:
    static constexpr const char* ADMIN_FOLDER_VARIABLE = "QORDOWNLOADER_ETC_DIR";
    static constexpr const char* DEFAULT_ADMIN_FOLDER = "/etc/qordownloader";
    static constexpr const char* FOLDER_NAME = "qordownloader";

    // What prepare() found and did.
    struct Preparation
    {
        std::string folder;                 // the working folder, absolute
        std::string adminFolder;            // where missing files are copied from
        std::vector<std::string> copied;    // file names, in copy order
        std::vector<std::string> notCopied; // "path: reason" of files there but not copied
        std::string folderProblem;          // "path: reason" when the folder is not usable
        bool hasSettings = false;           // QorDownloader.ini is in the folder now

        // Log lines of the preparation (after "Begin").
        void log() const;
        // For the confirmation box: what was copied, empty when nothing was.
        std::wstring firstRunNote() const;
        // The same for the console of an unattended run, one line per sentence.
        std::string firstRunLines() const;
        // Why the run cannot start: a headline, and which files are needed
        // where, one sentence a line.
        static std::string missingSettingsHeadline();
        std::string missingSettingsText() const;
    };

    // Creates and fills the folder and makes it the working directory.
    static Preparation prepare();
};

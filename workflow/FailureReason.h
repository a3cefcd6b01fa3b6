// Why a run failed, in words an administrator can act on: the step and the
// library's error by name with its detail, then what the failure concerns:
// the update URL (scheme, host and path only: a user name, a password or a
// query in it stays out), the proxy, the folders the library writes, a hint
// where the cause is known, and the settings files the working folder
// lacks. The log gets it in English; the console and the failure box in the
// user's language.
#pragma once

#include "workflow/WorkerDoor.h"

#include <string>
#include <vector>

// What the run was working with when it failed, as configured.
struct FailureContext
{
    std::wstring urls; // URL: one or several base URLs separated by blanks
    std::wstring extract;
    std::wstring target;
    std::wstring proxy; // the proxy the run settled, empty for none
};

class FailureReason
{
public:
    // phase names the step when the failure names none; the working folder
    // is the current directory.
    FailureReason(const RunFailure& failure, const std::string& phase,
                  const FailureContext& context);

    // "getVersionCount: network (APIErrorCode 3): curl 6, Couldn't resolve
    // host name; URL https://updates.example/orvane"
    std::string text() const;
    // the same with the program's own words translated
    std::string translatedText() const;

    // url without user name, password, query or fragment
    static std::string hostAndPath(const std::string& url);

private:
    // one part after the reason: msgid with its one "%s", and the value
    struct Note
    {
        const char* msgid;
        std::string value;
    };

    void addLibraryNotes(const RunFailure& failure, const FailureContext& context);
    void addMissingSettings();
    std::string joined(bool translated) const;

    std::string m_reason;
    std::vector<Note> m_notes;
};

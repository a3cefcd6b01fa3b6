// The configuration store over the two INI files and the process-wide table
// of built-in values of the update client. The first construction in the
// process builds the table and fixes the run mode (CONFIG/Mode) for good.
#pragma once

#include <string>

class C_IniFileTools
{
public:
    C_IniFileTools();
    virtual ~C_IniFileTools();

    // The file's non-empty value, else the built-in value, else defaultValue.
    std::wstring getWstring(const std::wstring& file, const std::wstring& section,
                            const std::wstring& key, const std::wstring& defaultValue);
    // The value getWstring gives, without its log lines: for a look ahead at
    // a value whose reader logs it later. Builds no table of built-in values.
    static std::wstring peekWstring(const std::wstring& file, const std::wstring& section,
                                    const std::wstring& key, const std::wstring& defaultValue);
    // Writes key=value into section of file; false on failure (logged). A
    // password goes only into a file that its owner alone may read: an
    // existing file is made so first (logged), or the write fails.
    bool setWstring(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                    const std::wstring& value);
    // The built-in value of key, whatever the files say; empty when none.
    std::wstring builtInValue(const std::wstring& file, const std::wstring& section,
                              const std::wstring& key) const;
    // Makes getWstring give value for key for the rest of the run (in every
    // store of the process), for a value that could not be written, until a
    // later setWstring of the key succeeds.
    void keepForThisRun(const std::wstring& file, const std::wstring& section,
                        const std::wstring& key, const std::wstring& value);

private:
    bool makeOwnerOnly(const std::wstring& file);
    bool writeFailed(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                     const std::wstring& value);
};

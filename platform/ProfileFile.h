// Stand-in for the Windows profile functions (GetPrivateProfileStringW,
// WritePrivateProfileStringW) over INI files in UTF-8.
//
// ProfileFile is the parsed content of one INI file: it finds the value of a
// key the way Windows does (section and key names case-insensitive, blanks
// around names and around "=" trimmed, one pair of surrounding quotes
// removed, ";" comment lines ignored, the first of duplicate keys wins) and
// produces the file's bytes with one key set, leaving every other byte as it
// was. The free functions below open the file and report failures through
// platform::setLastError, as the Windows functions do through SetLastError.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform
{
// Last-error code of a key, section or file that is not there (ENOENT and
// ERROR_FILE_NOT_FOUND share the value).
inline constexpr unsigned long PROFILE_ERROR_NOT_FOUND = 2;
// Files larger than this are refused rather than read into memory.
inline constexpr std::size_t PROFILE_MAX_FILE_BYTES = 16u * 1024u * 1024u;

class ProfileFile
{
public:
    // bytes: the whole file; a UTF-8 BOM is skipped, a byte that is not part
    // of valid UTF-8 reads as the character of the same value.
    explicit ProfileFile(std::string bytes);

    // The value of key in section, or nothing when the file lacks it.
    std::optional<std::wstring> value(const std::wstring& section, const std::wstring& key) const;

    // The file's bytes with key set to value in section (section and key are
    // appended when missing). Nothing when a name or the value could not be
    // written as one INI line (line breaks, NUL, "]" in a section, "=" in a
    // key, blanks around a name).
    std::optional<std::string> withValue(const std::wstring& section, const std::wstring& key,
                                         const std::wstring& value) const;

    const std::string& bytes() const noexcept { return m_bytes; }

private:
    enum class LineKind
    {
        Blank,
        Comment,
        Section,
        Entry,
        Other
    };
    struct Line
    {
        std::size_t begin = 0;      // first byte
        std::size_t contentEnd = 0; // end of the text, before "\r\n" or "\n"
        std::size_t end = 0;        // after the line break
        std::size_t equals = 0;     // Entry: offset of the first "="
        LineKind kind = LineKind::Blank;
        std::wstring name; // Section or Entry name, trimmed
    };

    std::wstring entryValue(const Line& line) const;
    // Index of the first entry of key in section, or of nothing.
    std::optional<std::size_t> findEntry(const std::wstring& section,
                                         const std::wstring& key) const;
    std::string lineBreak() const;

    std::string m_bytes;
    std::vector<Line> m_lines;
};

// Copies the value of key in section of file into buffer (bufferSize wide
// characters), cut to bufferSize - 1 UTF-16 units without splitting a
// character, and zero-terminates it. When the file, section or key is absent
// defaultValue is copied instead (same cut). Returns the number of wide
// characters copied. Last error afterwards: 0 when the file held the key,
// PROFILE_ERROR_NOT_FOUND when the default was used, the errno of the failure
// when the file exists but cannot be read (then nothing is copied and 0 is
// returned).
unsigned long getPrivateProfileString(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& defaultValue, wchar_t* buffer,
                                      unsigned long bufferSize, const std::wstring& file);

// Sets key to value in section of file, creating file, section or key as
// needed. The file is replaced atomically (temporary file beside it, fsync,
// rename) and keeps its permissions; a file created here is 0600. A file
// without any write permission bit counts as read-only and is not replaced.
// When the folder refuses the temporary file but the file itself may be
// written, the file is rewritten in place and flushed.
// Returns false with the last error set when the file was not changed.
bool writePrivateProfileString(const std::wstring& section, const std::wstring& key,
                               const std::wstring& value, const std::wstring& file);

// Before a secret is written into file: when the file exists (through a
// link: its target) and its group or others may read or write it, takes
// those permissions away, keeping its owner, its owner's permissions and its
// contents. `previousMode` is the mode it had when it was changed, else 0.
// False with the last error set when it could not be changed.
bool restrictProfileToOwner(const std::wstring& file, unsigned int& previousMode);

// The file-system path of an INI file name: "\" counts as a separator, the
// text is encoded as UTF-8.
std::string profilePath(const std::wstring& file);

// UTF-8 decoding as the profile files use it (invalid bytes keep their value)
// and encoding (characters that cannot be encoded become U+FFFD).
std::wstring decodeUtf8Lenient(const std::string& bytes);
std::string encodeUtf8(const std::wstring& text);
} // namespace platform

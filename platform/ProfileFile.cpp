#include "platform/ProfileFile.h"

#include "platform/AtomicFile.h"
#include "platform/LastError.h"
#include "platform/SystemCalls.h"

#include <cerrno>
#include <cstdint>

namespace platform
{
namespace
{
bool isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}
bool isBlankByte(char c)
{
    return c == ' ' || c == '\t';
}

std::wstring trimmed(const std::wstring& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

wchar_t foldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c;
}

// Names compare like the Windows profile functions do for the ASCII names
// that INI files use; other letters compare exactly.
bool sameName(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    }
    return true;
}

bool isQuote(wchar_t c)
{
    return c == L'"' || c == L'\'';
}

std::size_t utf16Units(wchar_t c)
{
    return static_cast<std::uint32_t>(c) > 0xFFFFu ? 2 : 1;
}

// Copies text into buffer, at most bufferSize - 1 UTF-16 units, whole
// characters only, and terminates it.
unsigned long copyCut(const std::wstring& text, wchar_t* buffer, unsigned long bufferSize)
{
    if (buffer == nullptr || bufferSize == 0)
        return 0;
    const std::size_t unitLimit = bufferSize - 1;
    std::size_t units = 0;
    std::size_t count = 0;
    for (; count < text.size(); ++count)
    {
        const std::size_t needed = utf16Units(text[count]);
        if (units + needed > unitLimit)
            break;
        units += needed;
        buffer[count] = text[count];
    }
    buffer[count] = L'\0';
    return static_cast<unsigned long>(count);
}

enum class ReadOutcome
{
    Read,
    Absent,
    Failed
};

// Reads a whole regular file; error gets the errno of a failure, taken at
// once, before closing the file can change errno. Non-blocking open: a FIFO
// in the file's place must not hang the program.
ReadOutcome readWholeFile(const std::string& path, std::string& bytes, SystemCalls::Info& info,
                          int& error)
{
    const int fd = SystemCalls::open(path, SystemCalls::OpenMode::ReadNonBlocking);
    if (fd < 0)
    {
        if (errno == ENOENT)
            return ReadOutcome::Absent;
        error = errno;
        return ReadOutcome::Failed;
    }
    const auto fail = [&error, fd](int code)
    {
        error = code;
        SystemCalls::close(fd);
        return ReadOutcome::Failed;
    };
    if (SystemCalls::status(fd, info) != 0)
        return fail(errno);
    if (info.type == SystemCalls::Type::Directory)
        return fail(EISDIR);
    if (info.type != SystemCalls::Type::File)
        return fail(EINVAL);
    if (info.size > PROFILE_MAX_FILE_BYTES)
        return fail(EFBIG);
    bytes.clear();
    char chunk[65536];
    for (;;)
    {
        const std::int64_t got = SystemCalls::read(fd, chunk, sizeof chunk);
        if (got < 0)
            return fail(errno);
        if (got == 0)
            break;
        bytes.append(chunk, static_cast<std::size_t>(got));
        // the file may grow while it is read
        if (bytes.size() > PROFILE_MAX_FILE_BYTES)
            return fail(EFBIG);
    }
    SystemCalls::close(fd);
    return ReadOutcome::Read;
}

// Overwrites the file's own bytes, for a file that may be written in a folder
// that may not (no temporary file can be made beside it). The old bytes are
// put back when the new ones cannot all be written. 0, or -1 with errno.
int rewriteInPlace(const std::string& path, const std::string& bytes, const std::string& old)
{
    const int fd = SystemCalls::open(path, SystemCalls::OpenMode::WriteExisting);
    if (fd < 0)
        return -1;
    int error = 0;
    if (SystemCalls::writeAll(fd, bytes.data(), bytes.size()) != 0 ||
        SystemCalls::truncate(fd, bytes.size()) != 0 || SystemCalls::sync(fd) != 0)
    {
        error = errno;
        if (SystemCalls::seek(fd, 0) == 0 && SystemCalls::writeAll(fd, old.data(), old.size()) == 0)
        {
            SystemCalls::truncate(fd, old.size());
            SystemCalls::sync(fd);
        }
    }
    if (SystemCalls::close(fd) != 0 && error == 0)
        error = errno;
    errno = error;
    return error == 0 ? 0 : -1;
}

bool validName(const std::wstring& name)
{
    if (name.empty() || name != trimmed(name))
        return false;
    return name.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos;
}

// A value whose ends a reader would trim or unquote is written in quotes,
// so that it reads back as it was written.
std::wstring quotedIfNeeded(const std::wstring& value)
{
    if (value.empty())
        return value;
    const bool blankEnds = isBlank(value.front()) || isBlank(value.back());
    const bool quotedEnds =
        value.size() >= 2 && isQuote(value.front()) && value.front() == value.back();
    return (blankEnds || quotedEnds) ? L"\"" + value + L"\"" : value;
}
} // namespace

std::wstring decodeUtf8Lenient(const std::string& bytes)
{
    std::wstring text;
    text.reserve(bytes.size());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size)
    {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80)
        {
            text.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF)
        {
            length = 2;
            code = lead & 0x1Fu;
            minimum = 0x80;
        }
        else if (lead >= 0xE0 && lead <= 0xEF)
        {
            length = 3;
            code = lead & 0x0Fu;
            minimum = 0x800;
        }
        else if (lead >= 0xF0 && lead <= 0xF4)
        {
            length = 4;
            code = lead & 0x07u;
            minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= size;
        for (std::size_t k = 1; valid && k < length; ++k)
        {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0u) == 0x80u;
            code = (code << 6) | (next & 0x3Fu);
        }
        valid = valid && code >= minimum && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid)
        {
            text.push_back(static_cast<wchar_t>(code));
            i += length;
        }
        else
        {
            text.push_back(static_cast<wchar_t>(lead));
            ++i;
        }
    }
    return text;
}

std::string encodeUtf8(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (const wchar_t c : text)
    {
        auto code = static_cast<std::uint32_t>(c);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code < 0x80)
        {
            bytes.push_back(static_cast<char>(code));
        }
        else if (code < 0x800)
        {
            bytes.push_back(static_cast<char>(0xC0u | (code >> 6)));
            bytes.push_back(static_cast<char>(0x80u | (code & 0x3Fu)));
        }
        else if (code < 0x10000)
        {
            bytes.push_back(static_cast<char>(0xE0u | (code >> 12)));
            bytes.push_back(static_cast<char>(0x80u | ((code >> 6) & 0x3Fu)));
            bytes.push_back(static_cast<char>(0x80u | (code & 0x3Fu)));
        }
        else
        {
            bytes.push_back(static_cast<char>(0xF0u | (code >> 18)));
            bytes.push_back(static_cast<char>(0x80u | ((code >> 12) & 0x3Fu)));
            bytes.push_back(static_cast<char>(0x80u | ((code >> 6) & 0x3Fu)));
            bytes.push_back(static_cast<char>(0x80u | (code & 0x3Fu)));
        }
    }
    return bytes;
}

std::string profilePath(const std::wstring& file)
{
    std::string path = encodeUtf8(file);
    for (char& c : path)
    {
        if (c == '\\')
            c = '/';
    }
    return path;
}

ProfileFile::ProfileFile(std::string bytes) : m_bytes(std::move(bytes))
{
    std::size_t position = 0;
    if (m_bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        position = 3;
    while (position < m_bytes.size())
    {
        Line line;
        line.begin = position;
        const std::size_t newline = m_bytes.find('\n', position);
        line.end = newline == std::string::npos ? m_bytes.size() : newline + 1;
        line.contentEnd = newline == std::string::npos ? m_bytes.size() : newline;
        if (line.contentEnd > line.begin && m_bytes[line.contentEnd - 1] == '\r')
            --line.contentEnd;
        position = line.end;

        std::size_t first = line.begin;
        while (first < line.contentEnd && isBlankByte(m_bytes[first]))
            ++first;
        if (first == line.contentEnd)
        {
            line.kind = LineKind::Blank;
        }
        else if (m_bytes[first] == ';')
        {
            line.kind = LineKind::Comment;
        }
        else if (m_bytes[first] == '[')
        {
            const std::size_t close = m_bytes.find(']', first);
            const std::size_t nameEnd =
                (close == std::string::npos || close > line.contentEnd) ? line.contentEnd : close;
            line.kind = LineKind::Section;
            line.name = trimmed(decodeUtf8Lenient(m_bytes.substr(first + 1, nameEnd - first - 1)));
        }
        else
        {
            const std::size_t equals = m_bytes.find('=', first);
            if (equals != std::string::npos && equals < line.contentEnd)
            {
                line.name = trimmed(decodeUtf8Lenient(m_bytes.substr(first, equals - first)));
                line.equals = equals;
                line.kind = line.name.empty() ? LineKind::Other : LineKind::Entry;
            }
            else
            {
                line.kind = LineKind::Other;
            }
        }
        m_lines.push_back(std::move(line));
    }
}

std::wstring ProfileFile::entryValue(const Line& line) const
{
    std::wstring value = trimmed(
        decodeUtf8Lenient(m_bytes.substr(line.equals + 1, line.contentEnd - line.equals - 1)));
    if (value.size() >= 2 && isQuote(value.front()) && value.front() == value.back())
        value = value.substr(1, value.size() - 2);
    // a NUL byte ends the value as it would end a C string
    const std::size_t nul = value.find(L'\0');
    if (nul != std::wstring::npos)
        value.resize(nul);
    return value;
}

std::optional<std::size_t> ProfileFile::findEntry(const std::wstring& section,
                                                  const std::wstring& key) const
{
    bool inSection = false;
    for (std::size_t i = 0; i < m_lines.size(); ++i)
    {
        const Line& line = m_lines[i];
        if (line.kind == LineKind::Section)
            inSection = sameName(line.name, section);
        else if (inSection && line.kind == LineKind::Entry && sameName(line.name, key))
            return i;
    }
    return std::nullopt;
}

std::optional<std::wstring> ProfileFile::value(const std::wstring& section,
                                               const std::wstring& key) const
{
    const std::optional<std::size_t> index = findEntry(section, key);
    if (!index)
        return std::nullopt;
    return entryValue(m_lines[*index]);
}

std::string ProfileFile::lineBreak() const
{
    const std::size_t newline = m_bytes.find('\n');
    if (newline != std::string::npos && newline > 0 && m_bytes[newline - 1] == '\r')
        return "\r\n";
    return "\n";
}

std::optional<std::string> ProfileFile::withValue(const std::wstring& section,
                                                  const std::wstring& key,
                                                  const std::wstring& value) const
{
    if (!validName(section) || section.find(L']') != std::wstring::npos || !validName(key) ||
        key.find(L'=') != std::wstring::npos || key.front() == L'[' || key.front() == L';' ||
        value.find_first_of(std::wstring(L"\r\n\0", 3)) != std::wstring::npos)
    {
        return std::nullopt;
    }
    const std::string encodedValue = encodeUtf8(quotedIfNeeded(value));

    if (const std::optional<std::size_t> index = findEntry(section, key))
    {
        // keep the line's own spelling of the key and its line break
        const Line& line = m_lines[*index];
        std::string result = m_bytes.substr(0, line.equals + 1);
        result += encodedValue;
        result.append(m_bytes, line.contentEnd, std::string::npos);
        return result;
    }

    const std::string eol = lineBreak();
    const std::string entry = encodeUtf8(key) + "=" + encodedValue;

    // the new key goes after the last non-blank line of the first section
    // of that name
    std::optional<std::size_t> insertAfter;
    bool inSection = false;
    bool sectionSeen = false;
    for (std::size_t i = 0; i < m_lines.size(); ++i)
    {
        const Line& line = m_lines[i];
        if (line.kind == LineKind::Section)
        {
            if (sectionSeen && inSection)
                break;
            inSection = sameName(line.name, section);
            sectionSeen = sectionSeen || inSection;
        }
        if (inSection && line.kind != LineKind::Blank)
            insertAfter = i;
    }

    if (insertAfter)
    {
        const Line& line = m_lines[*insertAfter];
        std::string result = m_bytes.substr(0, line.end);
        if (m_bytes[line.end - 1] != '\n') // last line of the file, without a break
            result += (result.back() == '\r' ? "\n" : eol) + entry; // "\r" alone ends no line
        else
            result += entry + eol;
        result.append(m_bytes, line.end, std::string::npos);
        return result;
    }

    std::string result = m_bytes;
    if (!result.empty() && result.back() != '\n')
        result += result.back() == '\r' ? "\n" : eol;
    result += "[" + encodeUtf8(section) + "]" + eol + entry + eol;
    return result;
}

unsigned long getPrivateProfileString(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& defaultValue, wchar_t* buffer,
                                      unsigned long bufferSize, const std::wstring& file)
{
    std::string bytes;
    SystemCalls::Info info;
    int error = 0;
    switch (readWholeFile(profilePath(file), bytes, info, error))
    {
    case ReadOutcome::Failed:
    {
        copyCut(std::wstring(), buffer, bufferSize);
        setLastError(static_cast<unsigned long>(error));
        return 0;
    }
    case ReadOutcome::Absent:
        setLastError(PROFILE_ERROR_NOT_FOUND);
        return copyCut(defaultValue, buffer, bufferSize);
    case ReadOutcome::Read:
        break;
    }
    const std::optional<std::wstring> value = ProfileFile(std::move(bytes)).value(section, key);
    if (!value)
    {
        setLastError(PROFILE_ERROR_NOT_FOUND);
        return copyCut(defaultValue, buffer, bufferSize);
    }
    setLastError(0);
    return copyCut(*value, buffer, bufferSize);
}

bool writePrivateProfileString(const std::wstring& section, const std::wstring& key,
                               const std::wstring& value, const std::wstring& file)
{
    std::string path = profilePath(file);
    if (path.empty())
    {
        setLastError(PROFILE_ERROR_NOT_FOUND);
        return false;
    }
    // write through a symbolic link to its target instead of replacing the link
    SystemCalls::Info linkInfo;
    if (SystemCalls::linkStatus(path, linkInfo) == 0 && linkInfo.type == SystemCalls::Type::Symlink)
    {
        std::string target;
        if (SystemCalls::resolvedPath(path, target) != 0)
            return failWithErrno();
        path = target;
    }

    std::string bytes;
    SystemCalls::Info info;
    int error = 0;
    const ReadOutcome outcome = readWholeFile(path, bytes, info, error);
    if (outcome == ReadOutcome::Failed)
    {
        setLastError(static_cast<unsigned long>(error));
        return false;
    }
    const bool exists = outcome == ReadOutcome::Read;
    if (exists && ((info.mode & 0222) == 0 || !SystemCalls::writable(path)))
    {
        // a file without write permission is read-only for this program,
        // even when the folder would let it be replaced
        setLastError(EACCES);
        return false;
    }

    const std::optional<std::string> updated = ProfileFile(bytes).withValue(section, key, value);
    if (!updated)
    {
        setLastError(EINVAL);
        return false;
    }
    AtomicFile::Options options;
    // a new file holds proxy credentials: owner only
    options.permissions = exists ? info.mode : 0600;
    options.keepOwner = exists;
    options.owner = info.owner;
    options.group = info.group;
    options.crashPoint = "ini-write";
    AtomicFile::Step failedStep = AtomicFile::Step::None;
    if (AtomicFile::replace(path, *updated, options, &failedStep) != 0)
    {
        // a folder that may not be written (no temporary file beside the
        // file) still lets a writable file be rewritten where it is
        const bool folderRefused =
            failedStep == AtomicFile::Step::CreateTemporary && (errno == EACCES || errno == EPERM);
        if (!exists || !folderRefused || rewriteInPlace(path, *updated, bytes) != 0)
            return failWithErrno();
    }
    setLastError(0);
    return true;
}

bool restrictProfileToOwner(const std::wstring& file, unsigned int& previousMode)
{
    previousMode = 0;
    const std::string path = profilePath(file);
    SystemCalls::Info info;
    if (path.empty() || SystemCalls::pathStatus(path, info) != 0)
    {
        // nothing there yet: the write creates it owner-only
        if (path.empty() || errno == ENOENT)
            return true;
        return failWithErrno();
    }
    if ((info.mode & 077u) == 0)
        return true;
    if (SystemCalls::changeModeAt(path, info.mode & 07700u) != 0)
        return failWithErrno();
    previousMode = info.mode;
    return true;
}
} // namespace platform

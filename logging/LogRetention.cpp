#include "logging/LogRetention.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
// One piece of a file-name pattern: literal text, or a conversion that
// stands for any text.
struct Piece
{
    bool anyText = false;
    std::string literal;
};

std::vector<Piece> splitPattern(const std::string& pattern)
{
    std::vector<Piece> pieces;
    auto appendLiteral = [&pieces](char c)
    {
        if (pieces.empty() || pieces.back().anyText)
        {
            pieces.push_back({});
        }
        pieces.back().literal += c;
    };
    for (std::size_t i = 0; i < pattern.size(); ++i)
    {
        if (pattern[i] != '%')
        {
            appendLiteral(pattern[i]);
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%')
        {
            appendLiteral('%');
            ++i;
            continue;
        }
        // format modifiers (-5, .30), the conversion word, an optional {option}
        std::size_t j = i + 1;
        while (j < pattern.size() &&
               (pattern[j] == '-' || pattern[j] == '.' || (pattern[j] >= '0' && pattern[j] <= '9')))
        {
            ++j;
        }
        while (j < pattern.size() && std::isalpha(static_cast<unsigned char>(pattern[j])) != 0)
        {
            ++j;
        }
        if (j < pattern.size() && pattern[j] == '{')
        {
            const std::size_t close = pattern.find('}', j);
            j = close == std::string::npos ? pattern.size() : close + 1;
        }
        if (pieces.empty() || !pieces.back().anyText)
        {
            pieces.push_back({true, {}});
        }
        i = j - 1;
    }
    return pieces;
}

// Classic wildcard match with back-tracking to the last "any text" piece.
bool matchPieces(const std::vector<Piece>& pieces, std::size_t piece, const std::string& name,
                 std::size_t at)
{
    if (piece == pieces.size())
    {
        return at == name.size();
    }
    const Piece& current = pieces[piece];
    if (!current.anyText)
    {
        return name.compare(at, current.literal.size(), current.literal) == 0 &&
               matchPieces(pieces, piece + 1, name, at + current.literal.size());
    }
    for (std::size_t next = at; next <= name.size(); ++next)
    {
        if (matchPieces(pieces, piece + 1, name, next))
        {
            return true;
        }
    }
    return false;
}

// Where a run suffix goes: before the extension of the file-name part,
// else at the end.
std::size_t suffixPosition(const std::string& name)
{
    const std::size_t slash = name.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.find_last_of('.');
    return dot != std::string::npos && dot > nameStart ? dot : name.size();
}

// name without its run suffix ("run-2.log" gives "run.log"); empty when it has none.
std::string withoutRunSuffix(const std::string& name)
{
    const std::size_t end = suffixPosition(name);
    std::size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1])) != 0)
    {
        --start;
    }
    if (start == end || start == 0 || name[start - 1] != '-')
    {
        return {};
    }
    return name.substr(0, start - 1) + name.substr(end);
}

struct Candidate
{
    fs::path path;
    fs::file_time_type modified;
};
} // namespace

bool LogRetention::fitsPattern(const std::string& namePattern, const std::string& name)
{
    return matchPieces(splitPattern(namePattern), 0, name, 0);
}

bool LogRetention::hasConversion(const std::string& pattern)
{
    const std::vector<Piece> pieces = splitPattern(pattern);
    return std::any_of(pieces.begin(), pieces.end(),
                       [](const Piece& piece) { return piece.anyText; });
}

std::string LogRetention::withRunSuffix(const std::string& name, int number)
{
    std::string suffixed = name;
    return suffixed.insert(suffixPosition(name), "-" + std::to_string(number));
}

std::vector<std::string> LogRetention::prune(const std::string& filePattern,
                                             const std::string& currentFile, int keep,
                                             std::vector<std::string>* failures)
{
    std::vector<std::string> removed;
    if (keep <= 0 || currentFile.empty())
    {
        return removed;
    }
    const fs::path current(currentFile);
    const std::string namePattern = fs::path(filePattern).filename().string();
    // a pattern ending in a folder separator names no file to compare with
    if (namePattern.empty())
    {
        return removed;
    }
    fs::path folder = current.parent_path();
    if (folder.empty())
    {
        folder = ".";
    }

    std::error_code error;
    std::vector<Candidate> candidates;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    {
        const fs::directory_entry& entry = *it;
        std::error_code statusError;
        // symlink_status: a link that fits the pattern is still not ours
        if (!fs::is_regular_file(entry.symlink_status(statusError)) || statusError)
        {
            continue;
        }
        const std::string name = entry.path().filename().string();
        if (name == current.filename().string())
        {
            continue;
        }
        const std::string unsuffixed = withoutRunSuffix(name);
        if (!fitsPattern(namePattern, name) &&
            (unsuffixed.empty() || !fitsPattern(namePattern, unsuffixed)))
        {
            continue;
        }
        const fs::file_time_type modified = entry.last_write_time(statusError);
        if (!statusError)
        {
            candidates.push_back({entry.path(), modified});
        }
    }
    // the file being written is the newest and takes one of the places
    const std::size_t othersKept = static_cast<std::size_t>(keep) - 1;
    if (candidates.size() <= othersKept)
    {
        return removed;
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b)
              { return a.modified != b.modified ? a.modified > b.modified : a.path > b.path; });
    for (std::size_t i = othersKept; i < candidates.size(); ++i)
    {
        std::error_code removeError;
        if (fs::remove(candidates[i].path, removeError))
        {
            removed.push_back(candidates[i].path.string());
        }
        else if (failures != nullptr)
        {
            failures->push_back(candidates[i].path.string() + ": " + removeError.message());
        }
    }
    return removed;
}

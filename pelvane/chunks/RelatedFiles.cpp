#include "pelvane/chunks/RelatedFiles.h"

#include <algorithm>
#include <set>

namespace pelvane
{
namespace
{
double sizeRatio(std::uint64_t a, std::uint64_t b)
{
    const auto [low, high] = std::minmax(a, b);
    return low == 0 ? 1e300 : static_cast<double>(high) / static_cast<double>(low);
}

bool versionCharacter(char c)
{
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '+';
}
} // namespace

std::string_view RelatedFiles::fileName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view RelatedFiles::stem(std::string_view name)
{
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && versionCharacter(stem.back()))
    {
        stem.remove_suffix(1);
    }
    return stem;
}

RelatedFiles::RelatedFiles(const std::vector<LocalFile>& files,
                           const std::unordered_set<std::string>& kept, bool wholeTree)
{
    std::set<std::pair<std::uint64_t, std::uint64_t>> inodes;
    for (const LocalFile& file : files)
    {
        if (file.size > 0 && inodes.emplace(file.device, file.inode).second)
        {
            m_files.push_back(file);
        }
    }
    for (std::size_t i = 0; i < m_files.size(); ++i)
    {
        const std::string_view name = fileName(m_files[i].relative);
        m_byName[std::string(name)].push_back(i);
        if (const std::string_view itsStem = stem(name); !itsStem.empty())
        {
            m_byStem[std::string(itsStem)].push_back(i);
        }
        if (wholeTree && kept.count(m_files[i].relative) == 0)
        {
            m_removedBySize.push_back(i);
        }
    }
    std::sort(m_removedBySize.begin(), m_removedBySize.end(),
              [this](std::size_t a, std::size_t b) { return m_files[a].size < m_files[b].size; });
}

std::vector<const LocalFile*> RelatedFiles::candidates(const std::string& path,
                                                       std::uint64_t size,
                                                       std::uint64_t smallest) const
{
    std::vector<const LocalFile*> chosen;
    const auto takeClosest = [&](std::vector<std::size_t> ranked, double ratio)
    {
        std::stable_sort(ranked.begin(), ranked.end(),
                         [&](std::size_t a, std::size_t b)
                         { return sizeRatio(m_files[a].size, size) < sizeRatio(m_files[b].size, size); });
        for (const std::size_t i : ranked)
        {
            const LocalFile* file = &m_files[i];
            if (chosen.size() < MAX_PER_FILE && file->relative != path && file->size >= smallest &&
                sizeRatio(file->size, size) <= ratio &&
                std::find(chosen.begin(), chosen.end(), file) == chosen.end())
            {
                chosen.push_back(file);
            }
        }
    };
    const std::string_view name = fileName(path);
    if (const auto found = m_byName.find(std::string(name)); found != m_byName.end())
    {
        takeClosest(found->second, NAME_SIZE_RATIO);
    }
    const std::string_view itsStem = stem(name);
    if (const auto found = m_byStem.find(std::string(itsStem));
        !itsStem.empty() && found != m_byStem.end())
    {
        takeClosest(found->second, NAME_SIZE_RATIO);
    }
    // the removed files of about the size: a window of the sorted list
    const auto bySize = [this](std::size_t i, std::uint64_t wanted) { return m_files[i].size < wanted; };
    const auto low = static_cast<std::uint64_t>(static_cast<double>(size) / REMOVED_SIZE_RATIO);
    auto at = std::lower_bound(m_removedBySize.begin(), m_removedBySize.end(), low, bySize);
    std::vector<std::size_t> window;
    for (; at != m_removedBySize.end() && sizeRatio(m_files[*at].size, size) <= REMOVED_SIZE_RATIO;
         ++at)
    {
        window.push_back(*at);
    }
    takeClosest(std::move(window), REMOVED_SIZE_RATIO);
    return chosen;
}
} // namespace pelvane

// Builds the new Target from verified files in a staging folder beside it
// and swaps it into place with renames, so that a failure at any point
// (disk full included) leaves Target exactly as it was. Files already in
// Target stay unless the update brings a file of the same path; later
// versions' files win over earlier ones. The run's files reach the disk
// in one flush of the file system just before the swap, not one by one.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/base/Outcome.h"
#include "pelvane/files/ExtractLayout.h"
#include "pelvane/trust/Manifest.h"

#include <string>
#include <vector>

namespace pelvane
{
class TargetAssembler
{
public:
    TargetAssembler(std::string target, const CancelToken& cancel);

    // `versionFolders[i]` holds the verified files of `versions[i]`.
    Outcome assemble(const std::vector<const ManifestVersion*>& versions,
                     const std::vector<std::string>& versionFolders);

    std::string stagingPath() const { return ExtractLayout::stagingPath(m_target); }
    std::string previousPath() const { return ExtractLayout::previousPath(m_target); }

private:
    // Two links of one regular file (neither a symbolic link).
    static bool sameFile(const std::string& first, const std::string& second);
    Outcome fail(std::int32_t apiError, int errorNumber, const char* what);
    // Clears what a run that died half-way left, putting an aside Target back.
    Outcome clearLeftovers();
    Outcome placeFiles(const std::vector<const ManifestVersion*>& versions,
                       const std::vector<std::string>& versionFolders);
    Outcome swapIn(bool targetExists);

    std::string m_target;
    const CancelToken& m_cancel;
};
} // namespace pelvane

#include "pelvane/base/XdgFolder.h"

#include "pelvane/base/SafeFiles.h"

namespace pelvane
{
int makeStateFolder(const std::string& folder)
{
    // the XDG folders are the user's alone; so is what the library keeps there
    return safefiles::makeFolderPath(folder, 0700);
}
} // namespace pelvane

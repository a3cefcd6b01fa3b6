#include "resources/ui/UiResources.h"

#include "logging/AppLogger.h"
#include "resources/ui/EmbeddedUiFile.h"

#include <wx/bitmap.h>
#include <wx/filesys.h>
#include <wx/fs_mem.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/xrc/xmlres.h>

#include <cstring>
#include <string>

namespace
{
// Folder of the memory file system under which the templates are published.
const char* const MEMORY_FOLDER = "qorui/";
const char* const ICON_FILE = "AppIcon128.png";

bool endsWith(const char* text, const char* suffix)
{
    const std::size_t textLength = std::strlen(text);
    const std::size_t suffixLength = std::strlen(suffix);
    return textLength >= suffixLength && std::strcmp(text + textLength - suffixLength, suffix) == 0;
}

const EmbeddedUiFile* findEmbeddedFile(const char* name)
{
    for (std::size_t i = 0; i < g_embeddedUiFileCount; ++i)
    {
        if (std::strcmp(g_embeddedUiFiles[i].name, name) == 0)
        {
            return &g_embeddedUiFiles[i];
        }
    }
    return nullptr;
}
} // namespace

bool loadUiResources()
{
    // UI thread only, like every caller of the dialogs
    static bool s_loaded = false;
    if (s_loaded)
    {
        return true;
    }

    wxXmlResource* resources = wxXmlResource::Get();
    resources->InitAllHandlers();
    if (!wxFileSystem::HasHandlerForPath("memory:"))
    {
        wxFileSystem::AddHandler(new wxMemoryFSHandler);
    }

    bool allLoaded = true;
    for (std::size_t i = 0; i < g_embeddedUiFileCount; ++i)
    {
        const EmbeddedUiFile& file = g_embeddedUiFiles[i];
        if (!endsWith(file.name, ".xrc"))
        {
            continue;
        }
        const wxString memoryName = wxString(MEMORY_FOLDER) + file.name;
        // wx would report a broken template in a message box of its own,
        // which nobody may be there to close: log it ourselves instead.
        wxLogNull noToolkitMessages;
        wxMemoryFSHandler::AddFile(memoryName, file.data, file.size);
        if (!resources->Load("memory:" + memoryName))
        {
            QOR_LOG_ERROR("Dialog template not loaded: " << file.name);
            allLoaded = false;
        }
    }
    // The memory files stay published: a failed load is not retried, since
    // publishing the same name twice is refused by the memory file system.
    s_loaded = true;
    return allLoaded;
}

wxIcon loadAppIcon()
{
    wxIcon icon;
    const EmbeddedUiFile* file = findEmbeddedFile(ICON_FILE);
    if (file == nullptr)
    {
        QOR_LOG_ERROR("Application icon not embedded: " << ICON_FILE);
        return icon;
    }
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr)
    {
        wxImage::AddHandler(new wxPNGHandler);
    }
    wxLogNull noToolkitMessages;
    wxMemoryInputStream stream(file->data, file->size);
    const wxImage image(stream, wxBITMAP_TYPE_PNG);
    if (!image.IsOk())
    {
        QOR_LOG_ERROR("Application icon not readable: " << ICON_FILE);
        return icon;
    }
    icon.CopyFromBitmap(wxBitmap(image));
    return icon;
}

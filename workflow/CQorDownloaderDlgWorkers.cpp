// The two worker routines of a run. Each receives the dialog, touches its
// controls only through the progress operations (which cross onto the UI
// thread) and reports by its exit code: 1 success, 0 failure.
#include "workflow/CQorDownloaderDlg.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "tools/DirectoryTree.h"
#include "tools/UnicodeFile.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace
{
constexpr int PROGRESS_STEP = 10;
constexpr int PROGRESS_FULL = 1000;
constexpr std::int32_t LIBRARY_TIMEOUT_MS = 30000;

std::wstring iniValue(C_IniFileTools& ini, const wchar_t* file, const wchar_t* section,
                      const wchar_t* key)
{
    return ini.getWstring(file, section, key, L"");
}
} // namespace

unsigned long threadFindUpdate(void* parameter)
{
    if (parameter == nullptr)
    {
        QOR_LOG_ERROR("FindUpdate error: null input parameter");
        return 0;
    }
    auto* dlg = static_cast<CQorDownloaderDlg*>(parameter);
    dlg->deltaPos(PROGRESS_STEP);

    using namespace ConfigKeys;
    C_IniFileTools ini;
    const std::wstring extract = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_EXTRACT);
    const std::wstring target = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET);
    const std::wstring flagFile = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_FLAG_FILE);
    const std::wstring version = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_VERSION);
    const std::wstring userProxy = iniValue(ini, OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY);
    const std::wstring pswdProxy = iniValue(ini, OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY);
    const std::wstring key = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEY);
    const std::wstring productCode =
        iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_PRODUCT_CODE);
    const std::wstring statsUrl = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_STATS_URL);
    const std::wstring keepArchives =
        iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEEP_ARCHIVES);
    const std::wstring url = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_URL);
    const std::wstring notesPswd = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_NOTES_PSWD);
    const std::wstring application =
        iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_APPLICATION);
    const std::wstring language = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE);

    if (pathExists(flagFile))
    {
        QOR_LOG_INFO("FlagFile found: " << flagFile);
        if (extract.empty())
        {
            // an empty folder name would address the working directory's root
            QOR_LOG_ERROR("No Extract folder configured: erase refused");
            return 0;
        }
        if (eraseTree(extract, true))
        {
            QOR_LOG_INFO("Directory erased: " << extract);
        }
        else
        {
            const unsigned long error = platform::getLastError();
            QOR_LOG_WARN("Error when erasing directory: " << extract);
            QOR_LOG_WARN("Delete error: " << error);
        }
        if (pathExists(flagFile))
        {
            if (std::remove(wstringToString(flagFile, CP_ACP).c_str()) == 0)
            {
                QOR_LOG_INFO("FlagFile erased: " << flagFile);
            }
            else
            {
                const unsigned long error = static_cast<unsigned long>(errno);
                QOR_LOG_WARN("Error when erasing FlagFile: " << flagFile);
                QOR_LOG_WARN("Delete error: " << error);
            }
        }
    }
    else
    {
        QOR_LOG_INFO("No FlagFile: " << flagFile);
    }
    dlg->offsetPos(PROGRESS_STEP);

    UpdInterFct& updInter = dlg->m_updInterFct;
    if (!updInter.initAndLoadLibrary())
    {
        QOR_LOG_ERROR("UpdInter not loaded");
        return 0;
    }

    const std::string narrowKey = wstringToString(key, CP_ACP);
    const std::string narrowProductCode = wstringToString(productCode, CP_ACP);
    const std::string narrowStatsUrl = wstringToString(statsUrl, CP_ACP);
    const std::string narrowExtract = wstringToString(extract, CP_ACP);
    const std::string narrowTarget = wstringToString(target, CP_ACP);
    const std::string narrowFlagFile = wstringToString(flagFile, CP_ACP);
    const std::string narrowUserProxy = wstringToString(userProxy, CP_ACP);
    const std::string narrowPswdProxy = wstringToString(pswdProxy, CP_ACP);
    const std::string narrowUrl = wstringToString(url, CP_ACP);
    const std::string narrowNotesPswd = wstringToString(notesPswd, CP_ACP);
    const std::string narrowApplication = wstringToString(application, CP_ACP);
    const std::string narrowLanguage = wstringToString(language, CP_ACP);
    const std::string narrowVersion = wstringToString(version, CP_ACP);
    const std::int32_t keep = (keepArchives == L"0") ? 0 : 1;
    updInter.initUpdInterEx(narrowKey.c_str(), narrowProductCode.c_str(), narrowStatsUrl.c_str(),
                            keep, narrowExtract.c_str(), narrowTarget.c_str(),
                            narrowFlagFile.c_str(), narrowUserProxy.c_str(),
                            narrowPswdProxy.c_str(), narrowUrl.c_str(), narrowNotesPswd.c_str(),
                            narrowApplication.c_str(), narrowLanguage.c_str(),
                            narrowVersion.c_str(), LIBRARY_TIMEOUT_MS, LIBRARY_TIMEOUT_MS, "", "");
    dlg->setDownloadStatus();
    dlg->offsetPos(PROGRESS_STEP);
    if (dlg->m_iResultUpdInter != UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_ERROR("initUpdInter failure");
        return 0;
    }

    std::int32_t count = -1;
    updInter.getVersionCount(&count);
    dlg->setDownloadStatus();
    dlg->offsetPos(PROGRESS_STEP);
    if (dlg->m_iResultUpdInter != UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_ERROR("getVersionCount failure");
        return 0;
    }
    if (count < 1)
    {
        QOR_LOG_ERROR("No file to download: " << count);
        return 0;
    }

    std::array<char, 1024> versionText{};
    std::array<char, 4096> notesText{};
    std::int32_t fileCount = 0;
    std::int32_t sizeKiB = 0;
    std::int32_t updateCount = 0;
    updInter.getVersionInfo(0, versionText.data(), 1023, notesText.data(), 4095, &fileCount,
                            &sizeKiB, &updateCount);
    dlg->setDownloadStatus();
    dlg->offsetPos(PROGRESS_STEP);
    if (dlg->m_iResultUpdInter != UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_ERROR("getVersionInfo failure");
        return 0;
    }

    // the library was given 1023 bytes: the last byte stays a terminator
    versionText.back() = '\0';
    QOR_LOG_INFO("downloadUntil: " << versionText.data());
    dlg->setFoundVersion(versionText.data());
    updInter.downloadUntil(versionText.data());
    return 1;
}

unsigned long threadFinalizeUpdate(void* parameter)
{
    if (parameter == nullptr)
    {
        QOR_LOG_ERROR("FinalizeUpdate error: null input parameter");
        return 0;
    }
    auto* dlg = static_cast<CQorDownloaderDlg*>(parameter);

    C_IniFileTools ini;
    const std::wstring target =
        iniValue(ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_UPDATE, ConfigKeys::KEY_TARGET);
    const std::wstring destPath = iniValue(ini, ConfigKeys::OWN_INI_FILE,
                                           ConfigKeys::SECTION_CONFIG, ConfigKeys::KEY_DEST_PATH);
    dlg->setDestPath(destPath);

    bool moved = false;
    if (target.empty() || destPath.empty())
    {
        // an empty name would make the move start from (or merge into) the
        // working directory's root
        QOR_LOG_ERROR((target.empty() ? "No Target configured" : "No DestPath configured")
                      << ": move refused");
        platform::setLastError(EINVAL);
    }
    else
    {
        moved = moveTree(target, destPath);
    }
    if (!moved)
    {
        QOR_LOG_ERROR("FinalizeUpdate failure: " << platform::getLastError());
    }
    dlg->setPos(PROGRESS_FULL);
    return moved ? 1 : 0;
}

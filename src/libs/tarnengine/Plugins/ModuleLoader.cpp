#include "Plugins/ModuleLoader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include "System/Posix/PosixFileSystem.h"

namespace TarnEngine {

const char* CModuleLoader::GetConfigurationName()
{
#if defined(NDEBUG)
    return "Release";
#else
    return "Debug";
#endif
}

void CModuleLoader::GetPluginFilePattern(char* pOut, size_t uiCapacity)
{
    snprintf(pOut, uiCapacity, "PLUGIN_*_DLL_%s_%u.so", GetConfigurationName(), GetPointerBits());
}

bool CModuleLoader::IsPluginFileName(const char* pFileName)
{
    char acPattern[64];
    GetPluginFilePattern(acPattern, sizeof(acPattern));
    return MatchPattern(acPattern, pFileName);
}

bool CModuleLoader::MatchPattern(const char* pPattern, const char* pText)
{
    if (!pPattern || !pText)
        return false;
    // Greedy matching with one backtrack point: the last '*' seen and the
    // text position it has absorbed up to. A later mismatch lets that '*'
    // absorb one more character; earlier stars never need to.
    const char* pStar = nullptr;
    const char* pStarText = nullptr;
    while (*pText)
    {
        if (*pPattern == '*')
        {
            pStar = pPattern++;
            pStarText = pText;
        }
        else if (*pPattern == '?' || *pPattern == *pText)
        {
            ++pPattern;
            ++pText;
        }
        else if (pStar)
        {
            pPattern = pStar + 1;
            pText = ++pStarText;
        }
        else
            return false;
    }
    while (*pPattern == '*')
        ++pPattern;
    return *pPattern == '\0';
}

bool CModuleLoader::ListPluginFiles(const char* pDirectory, TarnRenderer::TArray<FileName>& kFiles,
                                    TarnRenderer::TArray<SkippedFile>* pSkipped)
{
    kFiles.Empty();
    if (pSkipped)
        pSkipped->Empty();
    DIR* pDir = pDirectory ? opendir(pDirectory) : nullptr;
    if (!pDir)
        return false;
    const int iDirFd = dirfd(pDir);
    while (const dirent* pEntry = readdir(pDir))
    {
        if (!IsPluginFileName(pEntry->d_name))
            continue;
        // Follows links: a link to a module counts as the module.
        char acReason[sizeof(SkippedFile::m_acReason)];
        unsigned int uiMode = 0;
        if (!Common::Posix::ExamineRegularFile(iDirFd, pEntry->d_name, acReason, sizeof(acReason), nullptr, &uiMode))
        {
            if (!pSkipped)
                continue;
            SkippedFile& kSkipped = pSkipped->Add();
            snprintf(kSkipped.m_acName, sizeof(kSkipped.m_acName), "%s", pEntry->d_name);
            if (uiMode != 0)
                snprintf(kSkipped.m_acReason, sizeof(kSkipped.m_acReason), "not a regular file (%s)",
                         Common::Posix::DescribeFileType(uiMode));
            else
                snprintf(kSkipped.m_acReason, sizeof(kSkipped.m_acReason), "%s", acReason);
            continue;
        }
        FileName& kName = kFiles.Add();
        snprintf(kName.m_acName, sizeof(kName.m_acName), "%s", pEntry->d_name);
    }
    closedir(pDir);
    // The directory's own order depends on the file system: sorted, every
    // host starts its plug-ins in the same order.
    std::sort(kFiles.begin(), kFiles.end(), [](const FileName& kFirst, const FileName& kSecond) {
        return strcmp(kFirst.m_acName, kSecond.m_acName) < 0;
    });
    if (pSkipped)
        std::sort(pSkipped->begin(), pSkipped->end(), [](const SkippedFile& kFirst, const SkippedFile& kSecond) {
            return strcmp(kFirst.m_acName, kSecond.m_acName) < 0;
        });
    return true;
}

CModuleLoader::ModuleHandle CModuleLoader::Load(const char* pPath, char* pError, size_t uiErrorCapacity,
                                                int* piErrorCode)
{
    char acProblem[256];
    int iCode = 0;
    if (pError && uiErrorCapacity)
        pError[0] = '\0';
    if (piErrorCode)
        *piErrorCode = 0;
    // dlopen opens the file itself, blocking on a named pipe and reporting
    // through dlerror alone: the file is examined and opened here first, for
    // a real reason and code.
    const int iFile = Common::Posix::OpenRegularFile(pPath, acProblem, sizeof(acProblem), nullptr, &iCode);
    if (iFile < 0)
    {
        if (pError && uiErrorCapacity)
            snprintf(pError, uiErrorCapacity, "%s", acProblem);
        if (piErrorCode)
            *piErrorCode = iCode;
        return nullptr;
    }
    close(iFile);

    ModuleHandle hModule = dlopen(pPath, RTLD_NOW | RTLD_LOCAL);
    if (!hModule)
    {
        const char* pReason = dlerror();
        if (pError && uiErrorCapacity)
            snprintf(pError, uiErrorCapacity, "%s", pReason ? pReason : "not a loadable module");
        if (piErrorCode)
            *piErrorCode = ENOEXEC;
    }
    return hModule;
}

void CModuleLoader::Unload(ModuleHandle hModule)
{
    if (hModule)
        dlclose(hModule);
}

void* CModuleLoader::FindSymbol(ModuleHandle hModule, const char* pName)
{
    if (!hModule || !pName)
        return nullptr;
    return dlsym(hModule, pName);
}

}  // namespace TarnEngine

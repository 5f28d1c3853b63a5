#include "System/Posix/PosixFileSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

namespace Common::Posix {

namespace {

bool CopyOut(const char* pText, char* pOut, size_t uiCapacity)
{
    size_t uiLength = strlen(pText);
    if (uiLength + 1 > uiCapacity)
        return false;
    memcpy(pOut, pText, uiLength + 1);
    // No trailing separator, except for the root itself.
    while (uiLength > 1 && pOut[uiLength - 1] == '/')
        pOut[--uiLength] = '\0';
    return true;
}

// Reads XDG_DOCUMENTS_DIR="..." from a user-dirs.dirs file, expanding a
// leading $HOME. Returns false when the file or the entry is missing.
bool ReadUserDirsFile(const char* pPath, const char* pHome, char* pOut, size_t uiCapacity)
{
    FILE* pFile = fopen(pPath, "re");
    if (!pFile)
        return false;
    char acLine[1024];
    bool bFound = false;
    while (!bFound && fgets(acLine, sizeof(acLine), pFile))
    {
        const char* pKey = "XDG_DOCUMENTS_DIR=";
        char* pStart = acLine;
        while (*pStart == ' ' || *pStart == '\t')
            ++pStart;
        if (strncmp(pStart, pKey, strlen(pKey)) != 0)
            continue;
        char* pValue = pStart + strlen(pKey);
        if (*pValue == '"')
            ++pValue;
        char* pEnd = pValue + strcspn(pValue, "\"\r\n");
        *pEnd = '\0';
        char acExpanded[1024];
        if (strncmp(pValue, "$HOME", 5) == 0)
        {
            if (!pHome)
                break;
            snprintf(acExpanded, sizeof(acExpanded), "%s%s", pHome, pValue + 5);
        }
        else
            snprintf(acExpanded, sizeof(acExpanded), "%s", pValue);
        bFound = acExpanded[0] == '/' && CopyOut(acExpanded, pOut, uiCapacity);
    }
    fclose(pFile);
    return bFound;
}

}  // namespace

bool GetUserDocumentsFolder(char* pOut, size_t uiCapacity)
{
    if (!pOut || uiCapacity == 0)
        return false;
    pOut[0] = '\0';
    const char* pHome = getenv("HOME");

    const char* pDocuments = getenv("XDG_DOCUMENTS_DIR");
    if (pDocuments && pDocuments[0] == '/' && CopyOut(pDocuments, pOut, uiCapacity))
        return true;

    char acConfigFile[1024];
    const char* pConfigHome = getenv("XDG_CONFIG_HOME");
    if (pConfigHome && pConfigHome[0] == '/')
        snprintf(acConfigFile, sizeof(acConfigFile), "%s/user-dirs.dirs", pConfigHome);
    else if (pHome)
        snprintf(acConfigFile, sizeof(acConfigFile), "%s/.config/user-dirs.dirs", pHome);
    else
        acConfigFile[0] = '\0';
    if (acConfigFile[0] && ReadUserDirsFile(acConfigFile, pHome, pOut, uiCapacity))
        return true;

    if (pHome && pHome[0] == '/' && CopyOut(pHome, pOut, uiCapacity))
        return true;
    pOut[0] = '\0';
    return false;
}

bool CreateDirectories(const char* pPath)
{
    if (!pPath || !pPath[0])
        return false;
    char acPath[4096];
    const size_t uiLength = strlen(pPath);
    if (uiLength >= sizeof(acPath))
        return false;
    memcpy(acPath, pPath, uiLength + 1);
    for (size_t i = 1; i <= uiLength; ++i)
    {
        if (acPath[i] != '/' && acPath[i] != '\0')
            continue;
        const char cSaved = acPath[i];
        acPath[i] = '\0';
        if (mkdir(acPath, 0755) != 0 && errno != EEXIST)
            return false;
        acPath[i] = cSaved;
    }
    struct stat kInfo{};
    return stat(pPath, &kInfo) == 0 && S_ISDIR(kInfo.st_mode);
}

}  // namespace Common::Posix

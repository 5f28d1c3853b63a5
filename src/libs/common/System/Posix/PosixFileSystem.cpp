#include "System/Posix/PosixFileSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Common::Posix {

namespace {

void SetProblem(char* pProblem, size_t uiCapacity, int* piCode, int iCode, const char* pText)
{
    if (pProblem && uiCapacity)
        snprintf(pProblem, uiCapacity, "%s", pText);
    if (piCode)
        *piCode = iCode;
}

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
    // The log folder is looked up at start-up: a pipe put in place of the
    // file must not hold the process.
    char acProblem[128];
    const int iFile = OpenRegularFile(pPath, acProblem, sizeof(acProblem));
    if (iFile < 0)
        return false;
    FILE* pFile = fdopen(iFile, "r");
    if (!pFile)
    {
        close(iFile);
        return false;
    }
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
    struct stat kInfo
    {
    };
    return stat(pPath, &kInfo) == 0 && S_ISDIR(kInfo.st_mode);
}

const char* DescribeFileType(unsigned int uiMode)
{
    const mode_t uiType = static_cast<mode_t>(uiMode) & S_IFMT;
    switch (uiType)
    {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a named pipe";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFLNK:
            return "a symbolic link";
        default:
            return "an unknown kind of file";
    }
}

bool ExamineRegularFile(int iDirFd, const char* pPath, char* pProblem, size_t uiProblemCapacity, int* piCode,
                        unsigned int* puiMode)
{
    if (pProblem && uiProblemCapacity)
        pProblem[0] = '\0';
    if (piCode)
        *piCode = 0;
    if (puiMode)
        *puiMode = 0;
    if (!pPath || !pPath[0])
    {
        SetProblem(pProblem, uiProblemCapacity, piCode, EINVAL, "cannot be opened: no path given");
        return false;
    }
    struct stat kStat
    {
    };
    if (fstatat(iDirFd, pPath, &kStat, 0) != 0)
    {
        const int iError = errno;
        struct stat kLink
        {
        };
        if (iError == ENOENT && fstatat(iDirFd, pPath, &kLink, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(kLink.st_mode))
            SetProblem(pProblem, uiProblemCapacity, piCode, ENOENT, "dangling symbolic link");
        else if (iError == ELOOP)
            SetProblem(pProblem, uiProblemCapacity, piCode, ELOOP, "symbolic link loop");
        else
        {
            if (pProblem && uiProblemCapacity)
                snprintf(pProblem, uiProblemCapacity, "cannot be opened: %s", strerror(iError));
            if (piCode)
                *piCode = iError;
        }
        return false;
    }
    if (puiMode)
        *puiMode = static_cast<unsigned int>(kStat.st_mode);
    if (!S_ISREG(kStat.st_mode))
    {
        SetProblem(pProblem, uiProblemCapacity, piCode, S_ISDIR(kStat.st_mode) ? EISDIR : EINVAL, "not a regular file");
        return false;
    }
    return true;
}

int OpenRegularFile(const char* pPath, char* pProblem, size_t uiProblemCapacity, uint64* pSize, int* piCode)
{
    if (pSize)
        *pSize = 0;
    if (piCode)
        *piCode = 0;
    if (!ExamineRegularFile(AT_FDCWD, pPath, pProblem, uiProblemCapacity, piCode))
        return -1;
    int iFile = -1;
    do
        iFile = open(pPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    while (iFile < 0 && errno == EINTR);
    if (iFile < 0)
    {
        const int iError = errno;
        if (pProblem && uiProblemCapacity)
            snprintf(pProblem, uiProblemCapacity, "cannot be opened: %s", strerror(iError));
        if (piCode)
            *piCode = iError;
        return -1;
    }
    // The path may have been replaced since it was examined: what was opened
    // is what counts.
    struct stat kStat
    {
    };
    if (fstat(iFile, &kStat) != 0)
    {
        const int iError = errno;
        close(iFile);
        if (pProblem && uiProblemCapacity)
            snprintf(pProblem, uiProblemCapacity, "cannot be examined: %s", strerror(iError));
        if (piCode)
            *piCode = iError;
        return -1;
    }
    if (!S_ISREG(kStat.st_mode))
    {
        close(iFile);
        SetProblem(pProblem, uiProblemCapacity, piCode, S_ISDIR(kStat.st_mode) ? EISDIR : EINVAL, "not a regular file");
        return -1;
    }
    if (pSize)
        *pSize = kStat.st_size > 0 ? static_cast<uint64>(kStat.st_size) : 0u;
    return iFile;
}

}  // namespace Common::Posix

#include "Utils/FileText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Posix/PosixFileSystem.h"

namespace Common {

CFileText::~CFileText()
{
    TARN_FREE(m_pText);
}

bool CFileText::Read(const char* pPath, uint64 ui64MaxBytes, char (&acProblem)[ProblemCapacity])
{
    acProblem[0] = '\0';
    TARN_FREE(m_pText);
    m_pText = nullptr;
    m_uiLength = 0;
    // Examined before it is opened, and opened without waiting: a named pipe
    // given as a data file would otherwise hold the calling (engine) thread
    // until something writes to it.
    uint64 ui64Size = 0;
    const int iFile = Posix::OpenRegularFile(pPath, acProblem, ProblemCapacity, &ui64Size);
    if (iFile < 0)
        return false;
    const bool bRead = ReadOpened(iFile, ui64Size, ui64MaxBytes, acProblem);
    close(iFile);
    return bRead;
}

bool CFileText::ReadOpened(int iFile, uint64 ui64Size, uint64 ui64MaxBytes, char (&acProblem)[ProblemCapacity])
{
    if (ui64Size > ui64MaxBytes)
    {
        snprintf(acProblem, ProblemCapacity, "%llu bytes is more than the limit of %llu bytes (%llu MiB)",
                 static_cast<unsigned long long>(ui64Size), static_cast<unsigned long long>(ui64MaxBytes),
                 static_cast<unsigned long long>(ui64MaxBytes >> 20));
        return false;
    }
    const size_t uiSize = static_cast<size_t>(ui64Size);
    m_pText = static_cast<char*>(TARN_ALLOC(uiSize ? uiSize : 1));
    if (!m_pText)
    {
        snprintf(acProblem, ProblemCapacity, "out of memory for %zu bytes", uiSize);
        return false;
    }
    while (m_uiLength < uiSize)
    {
        const ssize_t iChunk = read(iFile, m_pText + m_uiLength, uiSize - m_uiLength);
        if (iChunk < 0 && errno == EINTR)
            continue;
        if (iChunk < 0)
        {
            snprintf(acProblem, ProblemCapacity, "cannot be read: %s", strerror(errno));
            return false;
        }
        if (iChunk == 0)
            break;
        m_uiLength += static_cast<size_t>(iChunk);
    }
    return true;
}

}  // namespace Common

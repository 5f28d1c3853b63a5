#pragma once

#include <cstddef>

#include "Core/Types.h"

namespace Common {

// The whole text of a data file, in a block of the memory manager.
//
// Only regular files are read, up to a size limit given by the caller (a
// file far larger than its kind ever is, is a wrong path). The path is
// examined before it is opened and the file is opened without waiting
// (Posix::OpenRegularFile), so a named pipe, a device or a folder is refused
// without holding the calling thread. A file that changes while it is read
// gives what was there up to the size found first. Owns its block; frees it
// when destroyed.
class CFileText
{
public:
    static constexpr size_t ProblemCapacity = 256;

    CFileText() = default;
    ~CFileText();
    CFileText(const CFileText&) = delete;
    CFileText& operator=(const CFileText&) = delete;

    // False with the reason in pProblem ("cannot be opened: ...", "dangling
    // symbolic link", "symbolic link loop", "not a regular file", "cannot be
    // examined: ...", "N bytes is more than the limit of M bytes (K MiB)",
    // "out of memory for N bytes", "cannot be read: ...").
    bool Read(const char* pPath, uint64 ui64MaxBytes, char (&acProblem)[ProblemCapacity]);

    const char* GetText() const { return m_pText; }
    size_t GetLength() const { return m_uiLength; }

private:
    bool ReadOpened(int iFile, uint64 ui64Size, uint64 ui64MaxBytes, char (&acProblem)[ProblemCapacity]);

    char* m_pText = nullptr;
    size_t m_uiLength = 0;
};

}  // namespace Common

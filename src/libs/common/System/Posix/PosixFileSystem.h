#pragma once

#include <cstddef>

#include "Core/Types.h"

// File-system helpers of the POSIX platform layer.
namespace Common::Posix {

// Writes the user's documents folder into pOut (no trailing '/'): the XDG
// documents directory ($XDG_DOCUMENTS_DIR, else XDG_DOCUMENTS_DIR in
// $XDG_CONFIG_HOME/user-dirs.dirs or ~/.config/user-dirs.dirs), else $HOME.
// Fails (returns false, pOut empty) when none is known or it does not fit.
bool GetUserDocumentsFolder(char* pOut, size_t uiCapacity);

// Creates a directory and its missing parents (like mkdir -p). True when the
// directory exists afterwards.
bool CreateDirectories(const char* pPath);

// What a file of the given st_mode is, for messages: "a regular file",
// "a directory", "a named pipe", "a socket", "a character device",
// "a block device", "a symbolic link" or "an unknown kind of file".
const char* DescribeFileType(unsigned int uiMode);

// Examines pPath, relative to the folder iDirFd (AT_FDCWD for the working
// folder), following symbolic links, without opening it. True for a regular
// file. Otherwise false, with the reason in pProblem:
//   "cannot be opened: <system reason>"  the path cannot be examined
//                                        (piCode: errno of stat),
//   "dangling symbolic link"             (piCode: ENOENT),
//   "symbolic link loop"                 (piCode: ELOOP),
//   "not a regular file"                 (piCode: EISDIR for a folder,
//                                        EINVAL for anything else).
// puiMode, when given, receives the file's st_mode (0 when it could not be
// examined).
bool ExamineRegularFile(int iDirFd, const char* pPath, char* pProblem, size_t uiProblemCapacity, int* piCode = nullptr,
                        unsigned int* puiMode = nullptr);

// Opens a regular file for reading without ever waiting on it. The path is
// examined first (ExamineRegularFile): opening a named pipe for reading
// waits for a writer, and opening a device may act on it, so neither is
// opened at all. The file is then opened non-blocking and close-on-exec,
// and examined again through the descriptor: a path changed in between to
// something else than a regular file is refused as well ("not a regular
// file", or "cannot be examined: <system reason>" when fstat fails). The
// non-blocking flag has no effect on reading a regular file.
// Returns the descriptor (the caller closes it) with the file's size in
// pSize, or -1 with the reason in pProblem and an errno value in piCode.
int OpenRegularFile(const char* pPath, char* pProblem, size_t uiProblemCapacity, uint64* pSize = nullptr,
                    int* piCode = nullptr);

}  // namespace Common::Posix

#pragma once

#include <cstddef>

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

}  // namespace Common::Posix

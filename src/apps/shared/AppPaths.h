#pragma once

// Where the programs find their plug-ins and data: beside the executable in
// the build folder, in the installed tree, or (for a program run from the
// build folder) the source tree's data.
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace TarnApp {

// The folder of the running executable ("." when it cannot be read).
inline std::string ExecutableDirectory()
{
    char acPath[4096];
    const ssize_t iLength = readlink("/proc/self/exe", acPath, sizeof(acPath) - 1);
    if (iLength <= 0)
        return ".";
    acPath[iLength] = '\0';
    const std::string kPath(acPath);
    const size_t uiSlash = kPath.find_last_of('/');
    return uiSlash == std::string::npos ? "." : kPath.substr(0, uiSlash);
}

inline bool IsDirectory(const std::string& kPath)
{
    struct stat kStat;
    return stat(kPath.c_str(), &kStat) == 0 && S_ISDIR(kStat.st_mode);
}

// The data folder: <exe>/data, then the installed <exe>/../share/tarn/data,
// then the source tree's data folder this program was built from.
inline std::string DefaultDataDirectory()
{
    const std::string kExeDir = ExecutableDirectory();
    if (IsDirectory(kExeDir + "/data"))
        return kExeDir + "/data";
    if (IsDirectory(kExeDir + "/../share/tarn/data"))
        return kExeDir + "/../share/tarn/data";
    return TARN_SOURCE_DATA_DIR;
}

}  // namespace TarnApp

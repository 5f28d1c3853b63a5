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

// A folder of the product: <exe>/<name>, then the installed
// <exe>/../share/tarn/<name>, then pSourceFolder, the source tree's folder
// this program was built from.
inline std::string FindProductFolder(const char* pName, const char* pSourceFolder)
{
    const std::string kExeDir = ExecutableDirectory();
    if (IsDirectory(kExeDir + "/" + pName))
        return kExeDir + "/" + pName;
    if (IsDirectory(kExeDir + "/../share/tarn/" + pName))
        return kExeDir + "/../share/tarn/" + pName;
    return pSourceFolder;
}

// The data folder (data).
inline std::string DefaultDataDirectory()
{
    return FindProductFolder("data", TARN_SOURCE_DATA_DIR);
}

// The live page's files (web).
inline std::string DefaultWebDirectory()
{
    return FindProductFolder("web", TARN_SOURCE_WEB_DIR);
}

}  // namespace TarnApp

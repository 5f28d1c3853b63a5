#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace CommonTests {

// A fresh folder under /tmp, removed with all it holds at the end.
struct STempFolder
{
    STempFolder() { kPath = mkdtemp(acTemplate) ? acTemplate : ""; }
    ~STempFolder() { std::filesystem::remove_all(kPath, kError); }
    char acTemplate[32] = "/tmp/tarn_common_XXXXXX";
    std::string kPath;  // empty when no folder could be made
    std::error_code kError;
};

// Writes kBytes as the whole file at kPath; false when that failed.
inline bool WriteFile(const std::string& kPath, const std::string& kBytes)
{
    return static_cast<bool>(std::ofstream(kPath, std::ios::binary) << kBytes);
}

}  // namespace CommonTests

#pragma once

#include <cstdio>
#include <string>

namespace TestSupport {

// The whole text of a file; empty when it can't be read.
inline std::string ReadTextFile(const std::string& kPath)
{
    std::string kText;
    if (FILE* pFile = fopen(kPath.c_str(), "rb"))
    {
        char acBuffer[65536];
        size_t uiRead;
        while ((uiRead = fread(acBuffer, 1, sizeof(acBuffer), pFile)) > 0)
            kText.append(acBuffer, uiRead);
        fclose(pFile);
    }
    return kText;
}

}  // namespace TestSupport

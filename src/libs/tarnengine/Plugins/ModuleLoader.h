#pragma once

#include <cstddef>

#include "Containers/TArray.h"
#include "Core/Types.h"

namespace TarnEngine {

// The platform's module layer: plug-in modules are shared objects, loaded
// with dlopen and searched with dlsym.
//
// A plug-in module's file is named PLUGIN_<Name>_DLL_<Configuration>_<Bits>.so,
// where the configuration word is "Debug" for a build without NDEBUG and
// "Release" otherwise, and the bits are the pointer width (64). Only files
// built like the host match.
class CModuleLoader
{
public:
    // Longest path, terminator included, that the loader works with.
    static constexpr uint32 MaxPath = 260;

    using ModuleHandle = void*;

    // A file name found in a plug-in directory.
    struct FileName
    {
        char m_acName[256] = {};
    };

    // "Debug" or "Release", by the same test as the build stamp.
    static const char* GetConfigurationName();
    // The pointer width in bits.
    static uint32 GetPointerBits() { return static_cast<uint32>(sizeof(void*) * 8); }

    // Writes "PLUGIN_*_DLL_<Configuration>_<Bits>.so" into pOut.
    static void GetPluginFilePattern(char* pOut, size_t uiCapacity);
    // True when pFileName matches the plug-in file pattern.
    static bool IsPluginFileName(const char* pFileName);
    // Matches a whole text against a pattern where '*' stands for any run of
    // characters (empty included) and '?' for one character; the other
    // characters match themselves, case-sensitively.
    static bool MatchPattern(const char* pPattern, const char* pText);

    // Lists the regular files of pDirectory whose names match the plug-in
    // file pattern, sorted by name (byte order). False, with kFiles empty,
    // when the directory cannot be opened.
    static bool ListPluginFiles(const char* pDirectory, TarnRenderer::TArray<FileName>& kFiles);

    // Loads a module (all symbols resolved now, kept local to the module).
    // Null on failure, with the system's reason copied into pError.
    static ModuleHandle Load(const char* pPath, char* pError, size_t uiErrorCapacity);
    // The address of an exported symbol, or null.
    static void* FindSymbol(ModuleHandle hModule, const char* pName);
};

} // namespace TarnEngine

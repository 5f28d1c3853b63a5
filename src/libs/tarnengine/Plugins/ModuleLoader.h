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

    // A file named like a module that the listing leaves out, and why:
    // "not a regular file (a directory)" (or another kind, see
    // Common::Posix::DescribeFileType), "dangling symbolic link", "symbolic
    // link loop", "cannot be opened: <system reason>".
    struct SkippedFile
    {
        char m_acName[256] = {};
        char m_acReason[128] = {};
    };

    // Lists the regular files of pDirectory whose names match the plug-in
    // file pattern, sorted by name (byte order); symbolic links are followed.
    // The other entries whose names match go to pSkipped, when given, sorted
    // the same way. False, with both lists empty, when the directory cannot
    // be opened.
    static bool ListPluginFiles(const char* pDirectory, TarnRenderer::TArray<FileName>& kFiles,
                                TarnRenderer::TArray<SkippedFile>* pSkipped = nullptr);

    // Loads a module (all symbols resolved now, kept local to the module).
    // The path is examined and opened first, without waiting
    // (Common::Posix::OpenRegularFile), so that a file that is not a regular
    // file never reaches the dynamic loader. Null on failure, with the reason
    // in pError and a code in piErrorCode: the errno value of the
    // examination or opening ("cannot be opened: <reason>", "not a regular
    // file", ...), or ENOEXEC with the dynamic loader's own text when it
    // refuses the file (not a shared object of this machine, a missing
    // symbol or library, ...).
    static ModuleHandle Load(const char* pPath, char* pError, size_t uiErrorCapacity, int* piErrorCode = nullptr);
    // Releases a module loaded by Load. Its code must no longer be
    // referenced: its static objects are destroyed and, when nothing else
    // holds it, it is unmapped.
    static void Unload(ModuleHandle hModule);
    // The address of an exported symbol, or null.
    static void* FindSymbol(ModuleHandle hModule, const char* pName);
};

}  // namespace TarnEngine

#pragma once

#include "Core/Types.h"

namespace Common::Mem {
class CMemoryManager;
}

namespace TarnEngine {

class IPluginManager;

// How a binary was built. Host and plug-in module each fill one with
// FillBuildStamp (every binary carries its own copy of the engine libraries,
// so each computes its own values); a module refuses to start when the host's
// stamp differs from its own in any field.
struct PluginBuildStamp
{
    uint8 m_uiDebugBuild = 0;         // 1 when built without NDEBUG, else 0
    uint64 m_ui64PointerSize = 0;     // sizeof(void*)
    uint64 m_ui64ToolsetVersion = 0;  // the compiler's version number, e.g. 120200 for 12.2.0
};

// Fills kStamp with the values of the binary that runs it.
void FillBuildStamp(PluginBuildStamp& kStamp);

// Field-by-field equality; a null stamp never matches.
bool IsSameBuildStamp(const PluginBuildStamp* pFirst, const PluginBuildStamp* pSecond);

// Picking routine of the editor that a plug-in may call while it draws:
// (render context, out object ID).
using EditorPickCallback = void (*)(void* pContext, uint32* pObjectId);

// The host context handed to a plug-in's InitPlugin. The host builds it on
// its stack for one call; the plug-in copies what it keeps.
//
// Ownership: the record owns its build stamp (allocated by the constructor
// under the tag "TarnEngine::PluginParam::PluginParam", freed by the
// destructor). The other pointers are the host's and are not owned.
struct PluginParam
{
    PluginParam();
    ~PluginParam();
    PluginParam(const PluginParam&) = delete;
    PluginParam& operator=(const PluginParam&) = delete;

    // True when the stamp this record carries equals the stamp of the binary
    // that calls this (the plug-in's check at start-up). False when the
    // record has no stamp.
    bool MatchesThisBuild() const;

    IPluginManager* m_pPluginManager = nullptr;               // the manager that starts the plug-in
    Common::Mem::CMemoryManager* m_pMemoryManager = nullptr;  // the host's memory manager instance
    void* m_pEngine = nullptr;                                // the host's engine instance, or null
    void* m_pDataProvider = nullptr;                          // the host's data provider instance, or null
    PluginBuildStamp* m_pBuildStamp = nullptr;                // the host's stamp (owned, see above)
    EditorPickCallback m_pEditorPickCallback = nullptr;       // set only by an editor host, else null
};

}  // namespace TarnEngine

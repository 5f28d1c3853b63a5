#pragma once

#include <rapidjson/document.h>

#include "Core/Types.h"
#include "Plugins/PluginComponent.h"
#include "Plugins/PluginParam.h"

namespace Common::Mem {
class CMemoryManager;
}

// What the test modules and the plugin manager tests agree on. A module
// exports nothing but its entry points, so the tests reach it through the
// manager: named steps and the builders it registers.
namespace TestModules {

// Called by every module's InitPlugin as it starts, argument: the module's
// name (const char*).
inline constexpr const char* kInitializedStep = "TestModules.Initialized";
// Called by every module's ReleasePlugin, argument: the module's name.
inline constexpr const char* kReleasedStep = "TestModules.Released";
// Registered by the modules that start, argument: SModuleQuery*.
inline constexpr const char* kQueryStep = "TestModules.Query";

// What one module saw in InitPlugin and what it holds now.
struct SModuleReport
{
    const char* pName = nullptr;
    TarnEngine::IPluginManager* pManager = nullptr;
    void* pEngine = nullptr;
    void* pDataProvider = nullptr;
    TarnEngine::EditorPickCallback pEditorPick = nullptr;
    // The module's memory manager instance at the time of the query.
    Common::Mem::CMemoryManager* pMemoryManager = nullptr;
    // A block the module allocated for the query (uiAllocateBytes), or null.
    void* pBlock = nullptr;
    // Milliseconds its builder has been updated with.
    uint32 uiUpdatedMs = 0;
};

struct SModuleQuery
{
    uint32 uiAllocateBytes = 0;
    uint32 uiCount = 0;
    SModuleReport akReports[4];
};

// The data objects the modules' builders make: {"Value": integer}.
struct SValueParam
{
    int32 iValue = 0;
};

class CValueData : public TarnEngine::PluginData<SValueParam>
{
public:
    bool Load(const TarnEngine::PluginJsonValue& kDocument, void* /*_pContextA*/, void* /*_pContextB*/) override
    {
        if (!kDocument.IsObject() || !kDocument.HasMember("Value") || !kDocument["Value"].IsInt())
            return false;
        m_kParam.iValue = kDocument["Value"].GetInt();
        return true;
    }
};

} // namespace TestModules

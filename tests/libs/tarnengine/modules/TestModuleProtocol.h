#pragma once

#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "Core/Types.h"
#include "Plugins/PluginComponent.h"
#include "Plugins/PluginParam.h"
#include "System/MemoryManager/MemoryManager.h"

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

// The data objects the builders make: {"Value": integer}.
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

// A builder recording what reaches it, registered by the modules under their
// own name and by the tests directly. With bMakeData each add-in document
// gives a CValueData; without, only its "Value" (or -1) is noted.
class CRecordingBuilder : public TarnEngine::PluginComponentBuilder
{
public:
    CRecordingBuilder(const char* pName, const char* pContainer, bool bMakeData = false)
        : m_kDesc(pName, pContainer, "Recording", ""), m_bMakeData(bMakeData)
    {
    }
    TarnEngine::PluginComponent* BuildComponent(void* _pPrefab, TarnRenderer::Link* _pLink,
                                                TarnEngine::IPluginComponentData* _pData) override
    {
        DestroyComponent(_pLink);
        m_pPrefab = _pPrefab;
        m_kComponent.SetData(_pData);
        links.Add(_pLink);
        return &m_kComponent;
    }
    bool BuildComponentData(const TarnEngine::PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<TarnEngine::IPluginComponentData*>& kOut) override
    {
        const bool bValue = kDocument.IsObject() && kDocument.HasMember("Value") && kDocument["Value"].IsInt();
        m_kDocuments.push_back(bValue ? kDocument["Value"].GetInt() : -1);
        if (!m_bMakeData)
            return true;
        auto* pData = TARN_NEW_TAGGED("TestModules::CRecordingBuilder::BuildComponentData", CValueData);
        if (!pData)
            return false;
        pData->Load(kDocument, _pContextA, _pContextB);
        kOut.Add(pData->SetTypeID(m_kDesc.m_uiComponentId));
        return true;
    }
    void OnBuilderEvent(void* _pValue) override { m_pEvent = _pValue; }
    void UpdateComponents(void* _pContext, TarnEngine::StepTime kTime) override
    {
        m_kUpdates.emplace_back(_pContext, kTime.uiElapsedMs);
        m_uiUpdatedMs += kTime.uiElapsedMs;
    }
    TarnEngine::CustomComponentDesc* GetDesc() override { return &m_kDesc; }
    void DestroyComponent(TarnRenderer::Link* _pLink) override
    {
        const uint32 uiIdx = links.Find(_pLink);
        if (uiIdx != links.uiMaxValue)
            links.RemoveAt(uiIdx);
    }

    TarnEngine::CustomComponentDesc m_kDesc;
    bool m_bMakeData;
    TarnEngine::PluginComponent m_kComponent;
    void* m_pPrefab = nullptr;
    void* m_pEvent = nullptr;
    uint32 m_uiUpdatedMs = 0;
    std::vector<int> m_kDocuments;
    std::vector<std::pair<void*, uint32>> m_kUpdates;
};

}  // namespace TestModules

#pragma once

#include <utility>
#include <vector>

#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/JsonAllocator.h"

// What the test modules and their tests agree on: a module exports nothing but
// its entry points, so the tests reach it through named steps and its builder.
namespace TestModules {

// Called by InitPlugin and ReleasePlugin, argument: the module's name.
inline constexpr const char* kInitializedStep = "TestModules.Initialized";
inline constexpr const char* kReleasedStep = "TestModules.Released";
// Registered by the modules that start, argument: SModuleQuery*.
inline constexpr const char* kQueryStep = "TestModules.Query";

// What one module saw in InitPlugin, and holds at the query.
struct SModuleReport
{
    TarnEngine::IPluginManager* pManager = nullptr;
    void *pEngine = nullptr, *pDataProvider = nullptr;
    TarnEngine::EditorPickCallback pEditorPick = nullptr;
    Common::Mem::CMemoryManager* pMemoryManager = nullptr;
    void* pBlock = nullptr;  // allocated for the query (uiAllocateBytes), or null
    uint32 uiUpdatedMs = 0;  // its builder's updates
};

struct SModuleQuery
{
    uint32 uiAllocateBytes = 0;
    uint32 uiCount = 0;
    SModuleReport akReports[4];
};

// Data of {"Value": integer}.
struct CValueData : TarnEngine::PluginData<int32>
{
    bool Load(const TarnEngine::PluginJsonValue& kDocument, void*, void*) override
    {
        const bool bValue = kDocument.IsObject() && kDocument.HasMember("Value") && kDocument["Value"].IsInt();
        m_kParam = bValue ? kDocument["Value"].GetInt() : -1;
        return bValue;
    }
};

// Records what reaches it; registered by the modules under their own name and
// by the tests. Notes each add-in's "Value" (or -1); with bMakeData it gives a
// CValueData, and refuses a document without a value.
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
        m_pData = _pData;
        links.Add(_pLink);
        return &m_kComponent;
    }
    bool BuildComponentData(const TarnEngine::PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<TarnEngine::IPluginComponentData*>& kOut) override
    {
        auto* pData = TARN_NEW_TAGGED("TestModules::CRecordingBuilder::BuildComponentData", CValueData);
        const bool bValue = pData->Load(kDocument, _pContextA, _pContextB);
        m_kDocuments.push_back(pData->GetParam());
        if (m_bMakeData && bValue)
            return kOut.Add(pData->SetTypeID(m_kDesc.m_uiComponentId)), true;
        TARN_DELETE(pData);
        return !m_bMakeData;
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
        if (const uint32 uiIdx = links.Find(_pLink); uiIdx != links.uiMaxValue)
            links.RemoveAt(uiIdx);
    }
    TarnEngine::CustomComponentDesc m_kDesc;
    bool m_bMakeData;
    TarnEngine::PluginComponent m_kComponent;
    void *m_pPrefab = nullptr, *m_pEvent = nullptr;
    TarnEngine::IPluginComponentData* m_pData = nullptr;
    uint32 m_uiUpdatedMs = 0;
    std::vector<int> m_kDocuments;
    std::vector<std::pair<void*, uint32>> m_kUpdates;
};

// A document parsed with the engine's allocator.
struct SJson
{
    explicit SJson(const char* pText) { m_kDocument.Parse(pText); }
    Common::CJsonAllocator m_kHeap;
    TarnEngine::PluginJsonPool m_kPool{4096, &m_kHeap};
    TarnEngine::PluginJsonDocument m_kDocument{&m_kPool, 1024, &m_kHeap};
};

}  // namespace TestModules

// A plug-in module that starts: binds the host's memory manager, checks the
// build stamp, registers a builder named after the module and a query step.
#include "Plugins/ModuleExport.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"

using namespace TarnEngine;

namespace {

const char* const kModuleName = TARN_TEST_MODULE_NAME;

class CTestBuilder : public PluginComponentBuilder
{
public:
    PluginComponent* BuildComponent(void*, TarnRenderer::Link* _pLink, IPluginComponentData* _pData) override
    {
        DestroyComponent(_pLink);
        m_kComponent.SetData(_pData);
        links.Add(_pLink);
        return &m_kComponent;
    }
    bool BuildComponentData(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<IPluginComponentData*>& kOut) override
    {
        auto* pData = TARN_NEW_TAGGED("TestModules::CTestBuilder::BuildComponentData", TestModules::CValueData);
        if (!pData)
            return false;
        pData->Load(kDocument, _pContextA, _pContextB);
        kOut.Add(pData->SetTypeID(m_kDesc.m_uiComponentId));
        return true;
    }
    void OnBuilderEvent(void*) override {}
    void UpdateComponents(void*, StepTime kTime) override { m_uiUpdatedMs += kTime.uiElapsedMs; }
    CustomComponentDesc* GetDesc() override { return &m_kDesc; }
    void DestroyComponent(TarnRenderer::Link* _pLink) override
    {
        const uint32 uiIndex = links.Find(_pLink);
        if (uiIndex != links.uiMaxValue)
            links.RemoveAt(uiIndex);
    }

    uint32 m_uiUpdatedMs = 0;

private:
    CustomComponentDesc m_kDesc{kModuleName, "PrefabContainer", "Test module", ""};
    PluginComponent m_kComponent;
};

CTestBuilder* s_pBuilder = nullptr;
TestModules::SModuleReport s_kSeen;

void OnQuery(void* _pArgument)
{
    auto* pQuery = static_cast<TestModules::SModuleQuery*>(_pArgument);
    if (pQuery->uiCount >= sizeof(pQuery->akReports) / sizeof(pQuery->akReports[0]))
        return;
    TestModules::SModuleReport& kReport = pQuery->akReports[pQuery->uiCount++];
    kReport = s_kSeen;
    kReport.pMemoryManager = Common::Mem::CMemoryManager::GetInstance();
    kReport.pBlock = pQuery->uiAllocateBytes ? TARN_ALLOC(pQuery->uiAllocateBytes) : nullptr;
    kReport.uiUpdatedMs = s_pBuilder ? s_pBuilder->m_uiUpdatedMs : 0;
}

bool Init(PluginParam* _pParam)
{
    if (_pParam->m_pMemoryManager)
        Common::Mem::CMemoryManager::SetInstance(_pParam->m_pMemoryManager);
    s_kSeen.pName = kModuleName;
    s_kSeen.pManager = _pParam->m_pPluginManager;
    s_kSeen.pEngine = _pParam->m_pEngine;
    s_kSeen.pDataProvider = _pParam->m_pDataProvider;
    s_kSeen.pEditorPick = _pParam->m_pEditorPickCallback;
    IPluginManager* pManager = _pParam->m_pPluginManager;
    pManager->CallStepCallbacks(TestModules::kInitializedStep, const_cast<char*>(kModuleName));
    // One host at a time.
    if (!_pParam->MatchesThisBuild() || s_pBuilder)
        return false;
    s_pBuilder = TARN_NEW_TAGGED("TestModules::Init", CTestBuilder);
    pManager->RegisterComponentBuilder(s_pBuilder);
    pManager->RegisterStepCallback(TestModules::kQueryStep, &OnQuery);
    return true;
}

bool Release(IPluginManager* _pManager)
{
    _pManager->CallStepCallbacks(TestModules::kReleasedStep, const_cast<char*>(kModuleName));
    _pManager->UnregisterStepCallback(TestModules::kQueryStep, &OnQuery);
    if (s_pBuilder)
        _pManager->UnregisterComponentBuilder(s_pBuilder->GetDesc()->m_uiComponentId);
    TARN_DELETE(s_pBuilder);
    s_pBuilder = nullptr;
    return true;
}

} // namespace

TARN_PLUGIN_ENTRY_POINTS(Init, Release)

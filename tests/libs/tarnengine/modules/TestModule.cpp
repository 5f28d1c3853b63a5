// The test modules, built as TARN_TEST_MODULE_NAME: one that binds the host's memory manager and registers a
// recording builder of its name and a query step; with TARN_TEST_MODULE_REFUSES one whose InitPlugin refuses;
// with TARN_TEST_MODULE_NO_RELEASE one without ReleasePlugin, never to be started.
#include "Plugins/ModuleExport.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"

using namespace TarnEngine;

namespace {

const char* const kModuleName = TARN_TEST_MODULE_NAME;

TestModules::CRecordingBuilder* s_pBuilder = nullptr;
TestModules::SModuleReport s_kSeen;

void OnQuery(void* _pArgument)
{
    auto* pQuery = static_cast<TestModules::SModuleQuery*>(_pArgument);
    TestModules::SModuleReport& kReport = pQuery->akReports[pQuery->uiCount++];
    kReport = s_kSeen;
    kReport.pMemoryManager = Common::Mem::CMemoryManager::GetInstance();
    kReport.pBlock = pQuery->uiAllocateBytes ? TARN_ALLOC(pQuery->uiAllocateBytes) : nullptr;
    kReport.uiUpdatedMs = s_pBuilder->m_uiUpdatedMs;
}

bool Init(PluginParam* _pParam)
{
    if (_pParam->m_pMemoryManager)
        Common::Mem::CMemoryManager::SetInstance(_pParam->m_pMemoryManager);
    IPluginManager* pManager = _pParam->m_pPluginManager;
    s_kSeen = {pManager, _pParam->m_pEngine, _pParam->m_pDataProvider, _pParam->m_pEditorPickCallback};
    pManager->CallStepCallbacks(TestModules::kInitializedStep, const_cast<char*>(kModuleName));
#ifdef TARN_TEST_MODULE_REFUSES
    return false;
#endif
    // One host at a time.
    if (!_pParam->MatchesThisBuild() || s_pBuilder)
        return false;
    s_pBuilder =
        TARN_NEW_TAGGED("TestModules::Init", TestModules::CRecordingBuilder, kModuleName, "PrefabContainer", true);
    pManager->RegisterComponentBuilder(s_pBuilder);
    pManager->RegisterStepCallback(TestModules::kQueryStep, &OnQuery);
    return true;
}

[[maybe_unused]] bool Release(IPluginManager* _pManager)
{
    _pManager->CallStepCallbacks(TestModules::kReleasedStep, const_cast<char*>(kModuleName));
    _pManager->UnregisterStepCallback(TestModules::kQueryStep, &OnQuery);
    _pManager->UnregisterComponentBuilder(s_pBuilder->GetDesc()->m_uiComponentId);
    TARN_DELETE(s_pBuilder);
    s_pBuilder = nullptr;
    return true;
}

}  // namespace

#ifdef TARN_TEST_MODULE_NO_RELEASE
TARN_PLUGIN_EXPORT bool InitPlugin(TarnEngine::PluginParam* _pParam)
{
    return Init(_pParam);
}
#else
TARN_PLUGIN_ENTRY_POINTS(Init, Release)
#endif

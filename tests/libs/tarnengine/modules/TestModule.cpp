// The plug-in modules of the plugin manager tests, built from this one source
// under the name TARN_TEST_MODULE_NAME:
//  - by default a module that starts: it binds the host's memory manager,
//    checks the build stamp, and registers a recording builder named after
//    the module and a query step;
//  - with TARN_TEST_MODULE_REFUSES, one whose InitPlugin refuses to start,
//    so its ReleasePlugin must never be called;
//  - with TARN_TEST_MODULE_NO_RELEASE, one without a ReleasePlugin entry: it
//    could never be released, so it must not be started.
#include "Plugins/ModuleExport.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"

using namespace TarnEngine;

namespace {

const char* const kModuleName = TARN_TEST_MODULE_NAME;

TestModules::CRecordingBuilder* s_pBuilder = nullptr;
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
    s_kSeen.pManager = _pParam->m_pPluginManager;
    s_kSeen.pEngine = _pParam->m_pEngine;
    s_kSeen.pDataProvider = _pParam->m_pDataProvider;
    s_kSeen.pEditorPick = _pParam->m_pEditorPickCallback;
    IPluginManager* pManager = _pParam->m_pPluginManager;
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
    if (s_pBuilder)
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

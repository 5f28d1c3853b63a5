// A plug-in module whose InitPlugin refuses to start; its ReleasePlugin must
// therefore never be called.
#include "Plugins/ModuleExport.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"

namespace {

const char* const kModuleName = "TestRefuses";

bool Init(TarnEngine::PluginParam* _pParam)
{
    Common::Mem::CMemoryManager::SetInstance(_pParam->m_pMemoryManager);
    _pParam->m_pPluginManager->CallStepCallbacks(TestModules::kInitializedStep, const_cast<char*>(kModuleName));
    return false;
}

bool Release(TarnEngine::IPluginManager* _pManager)
{
    _pManager->CallStepCallbacks(TestModules::kReleasedStep, const_cast<char*>(kModuleName));
    return true;
}

} // namespace

TARN_PLUGIN_ENTRY_POINTS(Init, Release)

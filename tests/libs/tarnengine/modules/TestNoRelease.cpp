// A plug-in module without a ReleasePlugin entry: it could never be
// released, so it must not be started.
#include "Plugins/ModuleExport.h"
#include "Plugins/PluginManager.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"

TARN_PLUGIN_EXPORT bool InitPlugin(TarnEngine::PluginParam* _pParam)
{
    _pParam->m_pPluginManager->CallStepCallbacks(TestModules::kInitializedStep, const_cast<char*>("TestNoRelease"));
    return true;
}

#pragma once

// The two entry points of a plug-in module.
//
// A module is built with hidden visibility (tarn_add_plugin_module) and
// carries its own copy of the engine libraries; it exports exactly these two
// functions, with C linkage, which the plugin manager looks up by name:
//
//   InitPlugin     called once with the host context; binds the module's
//                  engine-wide instances to the host's (the memory manager
//                  first, before the module allocates anything), checks the
//                  build stamp and registers the module's builders. False
//                  refuses the start; the host then never calls ReleasePlugin.
//   ReleasePlugin  called with the manager when it is destroyed; unregisters
//                  and deletes what InitPlugin created.
//
// A module defines them with TARN_PLUGIN_ENTRY_POINTS(init, release), where
// init and release are functions of the module with the same signatures, or
// writes them out with TARN_PLUGIN_EXPORT. The declarations below make a
// definition with another signature a compile error.

namespace TarnEngine {
class IPluginManager;
struct PluginParam;
}  // namespace TarnEngine

#define TARN_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

TARN_PLUGIN_EXPORT bool InitPlugin(TarnEngine::PluginParam* _pParam);
TARN_PLUGIN_EXPORT bool ReleasePlugin(TarnEngine::IPluginManager* _pManager);

#define TARN_PLUGIN_ENTRY_POINTS(initFunction, releaseFunction)                                                        \
    TARN_PLUGIN_EXPORT bool InitPlugin(TarnEngine::PluginParam* _pParam)                                               \
    {                                                                                                                  \
        return initFunction(_pParam);                                                                                  \
    }                                                                                                                  \
    TARN_PLUGIN_EXPORT bool ReleasePlugin(TarnEngine::IPluginManager* _pManager)                                       \
    {                                                                                                                  \
        return releaseFunction(_pManager);                                                                             \
    }

// The Gait plug-in module: its two exported entry points forward to the
// builder's statics, which bind the module to its host, register the remote
// commands and the "Gait" component builder, and undo the registration.
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/ModuleExport.h"

TARN_PLUGIN_ENTRY_POINTS(GaitPlugin::GaitComponentBuilder::InitPluginStatic,
                         GaitPlugin::GaitComponentBuilder::ReleasePluginStatic)

#pragma once

#include "Plugins/PluginParam.h"

namespace RPC {
class CGaitComponentBuilderRpc;
}

// What the Gait plug-in's entry points (GaitComponentBuilder::InitPluginStatic
// and ReleasePluginStatic) create and bind, for the module's own code and for
// the tests that drive the entry points.
//
// InitPluginStatic, in order:
//   1-3. binds the module's memory-manager, engine and data-provider
//        instances to the host's objects of the host context (a null field
//        leaves its slot as it is; an object the slot holds already is left
//        bound as it is);
//   4.   copies the editor pick callback, null or not;
//   5.   compares the host's build stamp with the module's: on a difference
//        it returns false, with the slots above bound and nothing else done;
//   6.   creates the builder (when there is none yet) and registers it with
//        the host's manager; when the manager keeps another builder under
//        the "Gait" ID (another copy of the module started first), it
//        deletes the builder it just made and returns false, with nothing
//        hooked into the host;
//   7-8. takes the command manager of the engine's network endpoint, binds
//        its pointer resolver (a resolver bound already stays, and the line
//        "<resolver source> : Instance has already been set" is logged) and
//        registers the eleven Gait remote commands there; an engine without an
//        endpoint is reported ("pEngineNet") and both are skipped;
//   9.   re-seeds the random generator from the millisecond clock;
//   10.  creates the remote singleton (when there is none yet).
// ReleasePluginStatic unregisters the builder from the given manager by its
// component ID and destroys the builder and the singleton; the components in
// the links' user data and the registered commands stay.
//
// Engine thread only (the thread that loads plug-ins).
namespace GaitPlugin {

class GaitComponentBuilder;

// The builder and the remote singleton while the plug-in runs, else null.
GaitComponentBuilder* GetPluginBuilder();
RPC::CGaitComponentBuilderRpc* GetPluginBuilderRpc();

// The module's copy of the host's editor pick callback (null for none). The
// module's drawing code calls it only when it is set.
TarnEngine::EditorPickCallback GetEditorPickCallback();

// The two seeds of the start-up re-seeding (step 8): the low 32 bits of the
// millisecond time, then that time plus the generator's first output after
// seeding with the first. Exposed for the tests.
uint32 ComputeFirstSeed(uint64 ui64TimeMs);
uint32 ComputeSecondSeed(uint64 ui64TimeMs, uint32 uiFirstOutput);

}  // namespace GaitPlugin

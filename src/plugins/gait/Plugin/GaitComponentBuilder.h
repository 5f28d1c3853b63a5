#pragma once

#include "Plugins/PluginComponentBuilder.h"
#include "Scene/UserDataHelper.h"

namespace TarnEngine {
class IPluginManager;
struct PluginParam;
}  // namespace TarnEngine

namespace GaitPlugin {

class GaitComponent;

// Adds the "Gait" component type to prefab containers: turns a prefab's
// "Gait" add-in into a GaitComponentContainer, builds a GaitComponent on the
// links of prefab instances, updates them every engine step, and puts them
// to standby when the engine tears them down.
//
// Owns its list of built links (not the links). The components belong to the
// links' user data, the containers to the prefab containers that asked for
// them. One builder exists while the plug-in is loaded.
class GaitComponentBuilder : public TarnEngine::PluginComponentBuilder
{
public:
    // The tag of the links' user-data record that holds the component.
    static constexpr uint32 kUserDataTag = TarnRenderer::MakeTag("GAIT");

    TarnEngine::PluginComponent* BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                                TarnEngine::IPluginComponentData* _pData) override;
    // Makes a GaitComponentContainer from the add-in's gait document, also
    // from one the loader rejects (with empty parameters then). Load context
    // A is null or, from a prefab's loader, the add-in's
    // TarnEngine::SAddInLoadContext, whose list receives the document's
    // problems.
    bool BuildComponentData(const TarnEngine::PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<TarnEngine::IPluginComponentData*, unsigned int>& kOut) override;
    void OnBuilderEvent(void*) override {}
    void UpdateComponents(void* _pStepContext, TarnEngine::StepTime kTime) override;
    // Each character's update touches its own component, actor and controls;
    // what characters share (transition tables, the rectifier's list) is
    // locked, and each actor draws from a random stream of its own.
    uint32 GetParallelComponentCount() const override { return links.GetSize(); }
    void UpdateComponentRange(void* _pStepContext, TarnEngine::StepTime kTime, uint32 uiFirst, uint32 uiEnd) override;
    TarnEngine::CustomComponentDesc* GetDesc() override;
    void DestroyComponent(TarnRenderer::Link* _pLink) override;

    // The component on a link (element 0 of its "GAIT" record), or null.
    static GaitComponent* GetComponent(const TarnRenderer::Link* pLink);

    // The plug-in's entry points, which the module's InitPlugin and
    // ReleasePlugin forward to (Plugin/GaitPluginEntry.cpp).
    static bool InitPluginStatic(TarnEngine::PluginParam* _pParam);
    static bool ReleasePluginStatic(TarnEngine::IPluginManager* _pManager);

    // Entry points that register a builder alone, without the plug-in's
    // remote commands: for programs that drive Gait components in-process
    // (the simulation tool, benchmarks, fuzz targets). One such builder at a
    // time; GetBuilderOnly gives it (null before Init or after Release).
    static bool InitBuilderOnly(TarnEngine::PluginParam* _pParam);
    static bool ReleaseBuilderOnly(TarnEngine::IPluginManager* _pManager);
    static GaitComponentBuilder* GetBuilderOnly();
};

}  // namespace GaitPlugin

#pragma once

#include "Containers/TArray.h"
#include "Plugins/CustomComponentDesc.h"
#include "Plugins/PluginComponent.h"
#include "Plugins/PluginComponentData.h"
#include "Plugins/PluginJson.h"
#include "Plugins/StepTime.h"

namespace TarnRenderer {
class Link;
}

namespace TarnEngine {

// Adds one component type to one container type. Registered with the
// plugin manager under its descriptor's component ID.
//
// Engine objects that the builder passes through without looking into them
// (prefab instances, load contexts, step contexts) travel as untyped
// pointers; the engine and the plug-in agree on what they are.
class PluginComponentBuilder
{
public:
    virtual ~PluginComponentBuilder() = default;

    // Creates or reuses the component of this link from this data, appends
    // the link to links and returns the component.
    virtual PluginComponent* BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                            IPluginComponentData* _pData) = 0;
    // Creates one data object from an add-in's parsed "Json" text, stamps it
    // with the component ID and appends it to kOut.
    virtual bool BuildComponentData(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                                    TarnRenderer::TArray<IPluginComponentData*>& kOut) = 0;
    // A value handed through the manager's NotifyComponentBuilder.
    virtual void OnBuilderEvent(void* _pValue) = 0;
    // Once per engine step: updates the component of every link in links.
    virtual void UpdateComponents(void* _pStepContext, StepTime kTime) = 0;
    // A builder whose components update each on its own (an update writes
    // only its component and what belongs to its character, and whatever
    // it shares is locked) says how many it has; the engine then updates
    // ranges of them on several threads with UpdateComponentRange instead of
    // calling UpdateComponents, and the results must be those of
    // UpdateComponents. An update that runs in parallel must not create or
    // remove components, instances or actors. 0 (the default): updated by
    // UpdateComponents on the engine thread.
    virtual uint32 GetParallelComponentCount() const { return 0; }
    // Updates the components [uiFirst, uiEnd) of the count above.
    virtual void UpdateComponentRange(void* _pStepContext, StepTime kTime, uint32 uiFirst, uint32 uiEnd)
    {
        (void)_pStepContext;
        (void)kTime;
        (void)uiFirst;
        (void)uiEnd;
    }
    // The builder's descriptor, alive as long as the builder.
    virtual CustomComponentDesc* GetDesc() = 0;
    // Releases the component of a built link and forgets the link; a link
    // that is not in links is left alone.
    virtual void DestroyComponent(TarnRenderer::Link* _pLink) = 0;

    // The links that carry one of this builder's components, in build order.
    TarnRenderer::TArray<TarnRenderer::Link*, unsigned int> links;
};

}  // namespace TarnEngine

#pragma once

#include "Plugins/PluginComponentData.h"
#include "Plugins/StepTime.h"

namespace TarnRenderer {
class Link;
}

namespace TarnEngine {

// A plug-in's per-link component. The base behaviours do nothing.
//
// Built for one link by its PluginComponentBuilder (BuildComponent), which
// releases it again (DestroyComponent). Engine objects that the component is
// handed without looking into them (step contexts) travel as untyped
// pointers; the engine and the plug-in agree on what they are.
class PluginComponent
{
public:
    virtual ~PluginComponent() = default;
    // Once per engine step for every built link.
    virtual void Update(void* _pStepContext, TarnRenderer::Link* _pLink, StepTime kTime)
    {
        (void)_pStepContext;
        (void)_pLink;
        (void)kTime;
    }
    // The data object the component was built from; null in the base.
    virtual IPluginComponentData* GetData() { return nullptr; }
    virtual void SetData(IPluginComponentData* _pData) { (void)_pData; }
    virtual bool IsActive() { return false; }
    virtual void Activate(bool bActive) { (void)bActive; }
};

}  // namespace TarnEngine

#pragma once

namespace TarnRenderer {
class AnimActor;
}

namespace TarnAnim {

// What switches root-motion accumulation of an anim actor's instance: the
// animation manager that owns the actor. A transition engine asks its owner
// through this, so that the runtime does not depend on the manager above it.
class IAccumulationSwitch
{
public:
    // True when the switch took; false after a report.
    virtual bool SetAccumulation(TarnRenderer::AnimActor* pActor, bool bEnable) = 0;

protected:
    ~IAccumulationSwitch() = default;
};

}  // namespace TarnAnim

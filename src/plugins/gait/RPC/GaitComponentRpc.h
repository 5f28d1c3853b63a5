#pragma once

#include "Commands/InstanceManager.h"
#include "Math/Quaternion.h"

namespace GaitPlugin {
class GaitComponent;
}

namespace RPC {

class CGaitComponentBuilderRpc;

// The remote interface of one link's Gait component ("GaitComponentRpc").
// Remote methods, in slot order after the reference-count hook and the
// destructor.
class IRPCStub_CGaitComponent : public TarnEngine::CInstanceManager<IRPCStub_CGaitComponent>
{
public:
    virtual void Reset() = 0;
    virtual void SetRotation(const Math::Quaternion& kRotation) = 0;
    virtual void SetSpeed(const float& fSpeed) = 0;
    virtual void ReloadFromJson(const char* const& pText) = 0;
    virtual void Activate(const bool& bActive) = 0;
    virtual bool IsActive() = 0;
};

// The remote facade of the Gait component of one placed prefab.
//
// It refers to the prefab by the world's handle of its instance and does not
// own the component: every call finds the instance, then the component in
// its link's "GAIT" user data, so that a component built, rebuilt or dropped
// by the builder is seen as it is now, and a removed instance (or one placed
// later in its memory) is never reached. Once the instance is removed, every
// call is refused with "The prefab has been removed". Without a component,
// Reset is reported, IsActive answers false and the other methods do
// nothing.
//
// SetSpeed refuses a speed outside 0 to GaitPlugin::kMaxSpeed; rotations
// arrive normalised.
//
// Made by CGaitComponentBuilderRpc::GetPrefabComponent (TARN_NEW), which
// files it in its registry; destroyed by the ReleaseRef that brings its count
// to 0, and then it takes itself out of that registry. Engine thread only.
class CGaitComponent : public IRPCStub_CGaitComponent
{
public:
    CGaitComponent(uint64 uiInstanceHandle, CGaitComponentBuilderRpc* pRegistry);
    ~CGaitComponent() override;

    void Reset() override;
    void SetRotation(const Math::Quaternion& kRotation) override;
    void SetSpeed(const float& fSpeed) override;
    void ReloadFromJson(const char* const& pText) override;
    void Activate(const bool& bActive) override;
    bool IsActive() override;

    // The world's handle of the prefab instance the facade stands for.
    uint64 GetInstanceHandle() const { return m_uiInstanceHandle; }
    // Called by the registry when it goes first: the facade then has no
    // registry to leave.
    void ForgetRegistry() { m_pRegistry = nullptr; }

private:
    // The component of the facade's instance, or null. *pbRemoved tells
    // whether the instance itself is gone; the running call is then refused.
    GaitPlugin::GaitComponent* FindComponent(bool* pbRemoved = nullptr) const;

    uint64 m_uiInstanceHandle;
    CGaitComponentBuilderRpc* m_pRegistry;
};

}  // namespace RPC

#pragma once

#include "Core/CommandManager/CommandInstanceHelper.h"
#include "Math/Quaternion.h"

namespace TarnRenderer {
class Link;
}

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

// The remote facade of the Gait component of one link.
//
// It does not own the component: every call looks the component up again in
// the link's "GAIT" user data, so that a component built, rebuilt or dropped
// by the builder is seen as it is now. Without a component, Reset is
// reported, IsActive answers false and the other methods do nothing.
//
// Made by CGaitComponentBuilderRpc::GetPrefabComponent (TARN_NEW), which
// files it in its registry; destroyed by the ReleaseRef that brings its count
// to 0, and then it takes itself out of that registry. Engine thread only.
class CGaitComponent : public IRPCStub_CGaitComponent
{
public:
    CGaitComponent(TarnRenderer::Link* pLink, CGaitComponentBuilderRpc* pRegistry);
    ~CGaitComponent() override;

    void Reset() override;
    void SetRotation(const Math::Quaternion& kRotation) override;
    void SetSpeed(const float& fSpeed) override;
    void ReloadFromJson(const char* const& pText) override;
    void Activate(const bool& bActive) override;
    bool IsActive() override;

    TarnRenderer::Link* GetLink() const { return m_pLink; }
    // Called by the registry when it goes first: the facade then has no
    // registry to leave.
    void ForgetRegistry() { m_pRegistry = nullptr; }
    // The link is going away: from now on the facade finds no component.
    void ForgetLink() { m_pLink = nullptr; }

private:
    // The link's component, or null.
    GaitPlugin::GaitComponent* FindComponent() const;

    TarnRenderer::Link* m_pLink;
    CGaitComponentBuilderRpc* m_pRegistry;
};

} // namespace RPC

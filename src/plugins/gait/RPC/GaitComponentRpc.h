#pragma once

#include "Commands/InstanceManager.h"
#include "Commands/ParamReader.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Plugin/GaitComponent.h"

namespace RPC {

class CGaitComponentBuilderRpc;

// "GaitComponentRpc"."GetState": what one character does now, as
//   {"Active": bool, "Movement": name or null, "Speed": num,
//    "Rotation": quat, "Position": vec, "Heading": num,
//    "HeadingError": num, "Arrived": bool,
//    "Contacts": [{"Movement": name, "Frame": n, "Position": vec,
//                  "TimeMs": n}, ...], "ContactsDropped": n}
// or null for a prefab without a Gait component. "Speed" and "Rotation" are
// the requested ones, "Heading" the character's (degrees about Z from +X),
// "HeadingError" the requested heading less it (-180 to 180), "Arrived" as
// GaitComponent::HasArrived. "Contacts" are the foot contacts since the
// previous GetState (at most GaitComponent::kMaxFootContacts, oldest
// first; "ContactsDropped" older ones were overwritten), "TimeMs" the
// character's clock when the foot touched.
class CGaitState
{
public:
    static constexpr const char* kRemoteTypeName = "GaitState";

    void WriteJson(TarnEngine::JSonParamReader::ResultWriter& kWriter) const;

    bool m_bHasComponent = false;
    bool m_bActive = false;
    bool m_bArrived = false;
    uint32 m_eMovement = GaitPlugin::EAnimMovement::NB_TYPE;
    float m_fSpeed = 0.0f;
    Math::Quaternion m_kRotation = Math::Quaternion::Identity();
    Math::LocalVector3 m_kPosition;
    float m_fHeadingDegrees = 0.0f;
    float m_fHeadingErrorDegrees = 0.0f;
    uint32 m_uiContactCount = 0;
    uint32 m_uiContactsDropped = 0;
    GaitPlugin::SFootContact m_akContacts[GaitPlugin::GaitComponent::kMaxFootContacts];
};

// A movement's name, or null for none (a character in standby or unbound).
void WriteMovement(TarnEngine::JSonParamReader::ResultWriter& kWriter, uint32 eMovement);
// Foot contacts as GetState words them: [{"Movement", "Frame", "Position",
// "TimeMs"}, ...].
void WriteFootContacts(TarnEngine::JSonParamReader::ResultWriter& kWriter, const GaitPlugin::SFootContact* pContacts,
                       uint32 uiCount);

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
    virtual CGaitState GetState() = 0;
};

// The remote facade of the Gait component of one placed prefab.
//
// It refers to the prefab by the world's handle of its instance and does not
// own the component: every call finds the instance, then the component in
// its link's "GAIT" user data, so that a component built, rebuilt or dropped
// by the builder is seen as it is now, and a removed instance (or one placed
// later in its memory) is never reached. Once the instance is removed, every
// call is refused with "The prefab has been removed". Without a component,
// Reset is reported, IsActive answers false, GetState answers null and the
// other methods do nothing.
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
    // Takes the foot contacts recorded since the previous call: every
    // client of the character shares one record.
    CGaitState GetState() override;

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

#pragma once

#include "Control/GaitActor.h"
#include "Data/GaitType.h"
#include "Data/SharedList.h"
#include "Math/Quaternion.h"
#include "Plugins/PluginComponent.h"

namespace GaitPlugin {

// The data object a prefab container holds for its "Gait" add-in: the
// authored parameters read from the add-in's document. Shared by every
// component built from the same prefab container, which owns it.
class GaitComponentContainer : public TarnEngine::PluginData<ParamGait>
{
public:
    // Reads the gait document. A rejected document (reported member by
    // member) leaves the parameters as they were and gives false.
    bool Load(const TarnEngine::PluginJsonValue& kDocument, void* _pContextA, void* _pContextB) override;
};

using GaitSharedRuntimeData = TSharedList<GaitRuntimeData>::SEntry;

// A foot that touched the floor, as the component records it.
struct SFootContact
{
    // The movement whose foot-on-floor point it was, and the point's frame.
    uint32 eMovement = EAnimMovement::NB_TYPE;
    uint32 uiFrame = 0;
    // Where the character was, and the component's clock (GetElapsedMs).
    Math::LocalVector3 kPosition;
    uint64 uiTimeMs = 0;
};

// The Gait component of one link: the requested rotation and speed, its
// container's parameters resolved against the character's mocap, and the
// character's actor.
//
// The resolved data is read-only once made and shared by the components
// whose resolution gave exactly the same data (thousands of characters of
// one kind hold one copy). Resolving again (Init, ReloadFromJson) gives the
// component its own result and leaves the other components' data as it was.
//
// Stored by value in the link's "GAIT" user-data record, which the link's
// scene owns; it is copied there as a block before its first Init and never
// moved afterwards (the rectifier finds the actor by its link). Holds a
// reference to its shared resolved data, which the actor reads; borrows its
// container, link and prefab instance. Engine thread only.
//
// For its remote clients it answers what the character does (movement,
// heading against the request, arrival) and keeps the foot contacts its
// actor reports, the last kMaxFootContacts of them, from the first
// TakeFootContacts on: characters nobody asks about keep none.
class GaitComponent : public TarnEngine::PluginComponent
{
public:
    // Most foot contacts kept between two TakeFootContacts.
    static constexpr uint32 kMaxFootContacts = 32;
    // How far from its requested heading a character still counts as
    // arrived, in degrees: what the rectifier brings a walk to within a few
    // seconds.
    static constexpr float kArrivedDegrees = 5.0f;

    GaitComponent() = default;
    // A component is destroyed with its link's records. Remote facades
    // find it through its instance's handle, never keep it.
    ~GaitComponent() override;

    void Update(void* _pStepContext, TarnRenderer::Link* _pLink, TarnEngine::StepTime kTime) override;
    TarnEngine::IPluginComponentData* GetData() override { return m_pData; }
    void SetData(TarnEngine::IPluginComponentData* pData) override { m_pData = pData; }
    bool IsActive() override { return !m_kActor.IsStandby(); }
    void Activate(bool bActive) override { m_kActor.SetStandby(!bActive); }

    // Binds the component to a link of a prefab instance: resolves the
    // container's parameters against the instance's skeleton and binds the
    // actor in standby. Reported (and nothing done) without data; a link
    // without an animated character leaves the actor unbound silently.
    void Init(TarnRenderer::Link* pLink, void* pPrefabInstance);
    // Reloads the container from a document and initialises again; false
    // (reported) for text that does not parse, without data, or for a
    // document the loader rejects.
    bool ReloadFromJson(const char* pText);
    // A stop followed by a fresh start.
    void Reset();
    // The rotation to turn to, normalised; one of no length (or not a
    // number) is reported and ignored.
    void SetRotation(const Math::Quaternion& kRotation);
    // The speed to go at, from 0 to kMaxSpeed; any other value (negative,
    // not a number, infinite, too fast) is reported and changes nothing.
    void SetSpeed(float fSpeed);
    // Puts the actor in standby (the builder forgets the link).
    void Release() { m_kActor.SetStandby(true); }

    const Math::Quaternion& GetRotation() const { return m_kRotation; }
    float GetSpeed() const { return m_fSpeed; }
    GaitActor& GetActor() { return m_kActor; }
    const GaitActor& GetActor() const { return m_kActor; }
    const GaitRuntimeData& GetRuntimeData() const;

    // The link's heading: its angle about Z from +X, in degrees from -180
    // to 180 (0 before Init).
    float GetHeadingDegrees() const;
    // The requested rotation's heading less the link's, from -180 to 180
    // degrees (positive: the target lies to the left).
    float GetHeadingErrorDegrees() const;
    // Whether the character is as it was asked to be: active, within
    // kArrivedDegrees of the requested heading, and either walking with a
    // speed requested or standing in Idle with none (below
    // GaitActor::kMinSpeed).
    bool HasArrived() const;
    // The step time the component was updated with since it was built.
    uint64 GetElapsedMs() const { return m_uiElapsedMs; }
    // Moves the foot contacts recorded since the previous call into akOut,
    // oldest first, and returns their number; uiDropped receives how many
    // older ones were overwritten meanwhile. The first call starts the
    // record (and returns none); without memory for it, it reports and
    // returns none.
    uint32 TakeFootContacts(SFootContact (&akOut)[kMaxFootContacts], uint32& uiDropped);

private:
    // The last kMaxFootContacts contacts, in a ring allocated when the
    // record starts; a byte copy of an unstarted one is the same log.
    class CFootContactLog
    {
    public:
        CFootContactLog() = default;
        ~CFootContactLog();
        CFootContactLog(const CFootContactLog&) = delete;
        CFootContactLog& operator=(const CFootContactLog&) = delete;

        bool IsStarted() const { return m_pRing != nullptr; }
        // False, reported, when memory is refused.
        bool Start();
        // Overwrites the oldest contact when the ring is full; nothing
        // before Start.
        void Record(const SFootContact& kContact);
        uint32 Take(SFootContact (&akOut)[kMaxFootContacts], uint32& uiDropped);

    private:
        SFootContact* m_pRing = nullptr;
        uint32 m_uiOldest = 0;
        uint32 m_uiCount = 0;
        uint32 m_uiDropped = 0;
    };

    // The actor's foot-on-floor callback; the context is the component.
    static void RecordFootOnFloor(TarnRenderer::Link* pLink, TarnRenderer::AnimActor* pAnimActor, void* pContext);

    // The component's reference to its shared resolved data, given back when
    // the component goes (after the actor, which reads it).
    class CRuntimeDataRef
    {
    public:
        CRuntimeDataRef() = default;
        ~CRuntimeDataRef() { Reset(nullptr); }
        CRuntimeDataRef(const CRuntimeDataRef&) = delete;
        CRuntimeDataRef& operator=(const CRuntimeDataRef&) = delete;
        // Takes pShared (already counted for this reference) and lets the
        // previous data go.
        void Reset(GaitSharedRuntimeData* pShared);
        GaitSharedRuntimeData* Get() const { return m_pShared; }

    private:
        GaitSharedRuntimeData* m_pShared = nullptr;
    };

    TarnEngine::IPluginComponentData* m_pData = nullptr;
    CRuntimeDataRef m_kRuntimeData;
    GaitActor m_kActor;
    TarnRenderer::Link* m_pLink = nullptr;
    void* m_pPrefabInstance = nullptr;
    Math::Quaternion m_kRotation = Math::Quaternion::Identity();
    float m_fSpeed = 0.0f;
    uint64 m_uiElapsedMs = 0;
    CFootContactLog m_kFootContacts;
};

}  // namespace GaitPlugin

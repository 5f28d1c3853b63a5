#pragma once

#include "Commands/ReturnBuffer.h"
#include "Commands/SingletonManager.h"
#include "Containers/TArray.h"
#include "Push/StepPublishers.h"
#include "RPC/ConnectionFeeds.h"
#include "Utils/JsonAllocator.h"

namespace TarnEngine {
class CommandManager;
}

namespace RPC {

// The remote interface of the view of every character ("GaitViewRpc"), a
// singleton.
class IRPCStub_CGaitView : public TarnEngine::CSingletonManager<IRPCStub_CGaitView>
{
public:
    virtual void Subscribe(const uint32& uiPeriodMs) = 0;
    virtual void Select(const uint64& uiId) = 0;
    virtual bool Unsubscribe() = 0;
};

// Pushes a picture of the whole world to the clients that watch it, such as
// the live page: one frame per engine step, or per period of engine time, on
// the connection that subscribed, with every placed character that has a
// Gait component, and the details of one character the client selected.
//
//   {"Event":"GaitView","Step":<engine step>,"Seq":<frame number>,
//    "Movements":[<name>, ...],
//    "Characters":[[Id, x, y, heading, requested heading, movement, speed,
//                   flags], ...],
//    "Selected":null or {"Id","Active","Movement","Speed","Heading",
//                        "RequestedHeading","HeadingError","Arrived",
//                        "Position","Contacts":[...],"Weights":[...]}}
//
// "Id" is the character's Id in "PrefabManager"."ListPrefabs"; positions in
// metres (to the millimetre), headings in degrees about Z from +X (to a
// tenth), the movement an index into "Movements" (-1 for none), the speed
// the requested one, flags 1 when arrived and 2 when active. "Contacts" are
// the foot contacts of the selected character since its previous frame, as
// "GaitComponentRpc"."GetState" words them (which takes them too: a client
// that asks GetState of the selected character shares them); "Weights" the
// effective weight of each movement's control, in the order of "Movements".
// A selected character that is removed turns the selection to null.
//
// A connection has at most one view. The frames wait in the connection's
// CPushChannel; one that does not fit drops the connection, and the view
// ends with it. Created and destroyed by the Gait plug-in's entry points;
// publishes at the end of each engine step through the publishers it is
// given (it removes itself before it goes). Owns its views, each with a
// reference to its connection's channel. Engine thread only.
class CGaitViewRpc : public IRPCStub_CGaitView, public TarnEngine::IStepPublisher
{
public:
    static constexpr uint32 kMaxPeriodMs = CConnectionFeeds<SFeed>::kMaxPeriodMs;

    // pPublishers: the engine's, or null for none (nothing is then ever
    // published).
    explicit CGaitViewRpc(TarnEngine::CStepPublishers* pPublishers);
    ~CGaitViewRpc() override;

    // Starts the calling connection's view, or sets the period of the one
    // it has: 0 for a frame at every step, else one per uiPeriodMs of engine
    // time (the first at the next step). Refused for a request that did not
    // come over a connection, or a period above kMaxPeriodMs.
    void Subscribe(const uint32& uiPeriodMs) override;
    // Chooses the character whose details the calling connection's frames
    // carry; 0 for none. Refused without a view, or for an Id no placed
    // prefab has.
    void Select(const uint64& uiId) override;
    // Ends the calling connection's view; false when it had none.
    bool Unsubscribe() override;

    void PublishStep(uint64 uiStep, uint32 uiElapsedMs) override;

    uint32 GetViewCount() const { return m_kViews.GetCount(); }

private:
    struct SView : SFeed
    {
        uint64 uiSelected = 0;
    };

    // Writes one frame of a view into m_kFrame; forgets a selected character
    // that was removed.
    const TarnEngine::CReturnBuffer& WriteFrame(SView& kView, uint64 uiStep);

    CConnectionFeeds<SView> m_kViews;
    // The frame being made, kept for the next one.
    TarnEngine::CReturnBuffer m_kFrame;
    Common::CJsonAllocator m_kJsonAllocator;
};

// Registers the remote commands of "GaitViewRpc" with a command manager:
// ReleaseRef, GetRPCSingleton, Subscribe, Select, Unsubscribe.
void RegisterGaitViewRemoteClass(TarnEngine::CommandManager& kManager);

}  // namespace RPC

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

class CGaitComponent;

// The remote interface of the Gait subscriptions ("GaitSubscriptionRpc"), a
// singleton.
class IRPCStub_CGaitSubscription : public TarnEngine::CSingletonManager<IRPCStub_CGaitSubscription>
{
public:
    virtual void Subscribe(const uint32& uiPeriodMs) = 0;
    virtual void Add(CGaitComponent* const& pComponent) = 0;
    virtual void Remove(CGaitComponent* const& pComponent) = 0;
    virtual bool Unsubscribe() = 0;
};

// Pushes the state of chosen characters to the clients that subscribe to it,
// instead of having them ask for it: one frame per engine step, or per
// period of engine time, on the connection that subscribed, until the client
// unsubscribes or the connection ends.
//
// A connection has at most one subscription, made by Subscribe (which sets
// its period) and filled by Add with the characters' GaitComponentRpc
// objects. At the end of every engine step that it is due, it pushes
//   {"Event":"GaitState","Step":<engine step>,"Seq":<frame number>,
//    "States":[{"InstanceID":<id>,"State":<state or null>}, ...]}
// where a state is {"Active","Movement","Speed","Rotation","Position",
// "Heading"} as GaitComponentRpc.GetState words them (without the foot
// contacts, which stay with GetState), null for a character without a Gait
// component. "Seq" counts the subscription's frames from 0. A character whose prefab was removed is
// reported once as {"InstanceID":<id>,"Removed":true} and leaves the
// subscription. Characters are followed by the instance they stood for when
// added, so releasing a GaitComponentRpc object does not end its reports.
//
// The frames wait in the connection's CPushChannel; one that does not fit
// drops the connection, and the subscription ends with it. The connection
// sends the frames pushed while a request ran before its reply, so every
// frame after a reply was made after the request ran (none follows the reply
// to Unsubscribe), and the first frames may come before the reply to
// Subscribe.
//
// Created and destroyed by the Gait plug-in's entry points; publishes at the
// end of each engine step through the publishers it is given (it removes
// itself before it goes). Owns its subscriptions, each with a reference to
// its connection's channel. Engine thread only: none of its methods is safe
// off the engine thread.
class CGaitSubscriptionRpc : public IRPCStub_CGaitSubscription, public TarnEngine::IStepPublisher
{
public:
    // Most characters in one subscription, and the longest period.
    static constexpr uint32 kMaxCharacters = 64;
    static constexpr uint32 kMaxPeriodMs = CConnectionFeeds<SFeed>::kMaxPeriodMs;

    // pPublishers: the engine's, or null for none (nothing is then ever
    // published).
    explicit CGaitSubscriptionRpc(TarnEngine::CStepPublishers* pPublishers);
    ~CGaitSubscriptionRpc() override;

    // Starts the calling connection's subscription, or sets the period of
    // the one it has: 0 for a frame at every step, else one frame per
    // uiPeriodMs of engine time (the first at the next step). Refused for a
    // request that did not come over a connection, or a period above
    // kMaxPeriodMs.
    void Subscribe(const uint32& uiPeriodMs) override;
    // Adds a character to the calling connection's subscription (once).
    // Refused without a subscription, for null, or beyond kMaxCharacters.
    void Add(CGaitComponent* const& pComponent) override;
    // Takes a character out of the subscription; nothing without one.
    void Remove(CGaitComponent* const& pComponent) override;
    // Ends the calling connection's subscription; false when it had none.
    bool Unsubscribe() override;

    void PublishStep(uint64 uiStep, uint32 uiElapsedMs) override;

    uint32 GetSubscriptionCount() const { return m_kSubscriptions.GetCount(); }

private:
    struct SCharacter
    {
        uint32 uiInstanceID = 0;
        uint64 uiInstanceHandle = 0;
    };
    struct SSubscription : SFeed
    {
        TarnRenderer::TArray<SCharacter> kCharacters;
    };

    // Writes one frame of a subscription into m_kFrame and takes the
    // characters it reported removed out of it.
    const TarnEngine::CReturnBuffer& WriteFrame(SSubscription& kSubscription, uint64 uiStep);

    CConnectionFeeds<SSubscription> m_kSubscriptions;
    // The frame being made, kept for the next one.
    TarnEngine::CReturnBuffer m_kFrame;
    Common::CJsonAllocator m_kJsonAllocator;
};

// Registers the remote commands of "GaitSubscriptionRpc" with a command
// manager: ReleaseRef, GetRPCSingleton, Subscribe, Add, Remove, Unsubscribe.
void RegisterGaitSubscriptionRemoteClass(TarnEngine::CommandManager& kManager);

}  // namespace RPC

#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataDynamic/AccumulationSwitch.h"
#include "DataDynamic/AnimActor.h"
#include "Process/FrameProcessor.h"

namespace TarnAnim {
class Skeleton;
}

namespace TarnRenderer {

class Link;

// The actors of one animation session, stepped together by a tick.
// Owns its actors (not their skeletons or links).
class AnimManagerStorage
{
public:
    ~AnimManagerStorage();
    const TArray<AnimActor*>& GetActors() const { return m_kActors; }

private:
    friend class CAnimManager;
    TArray<AnimActor*> m_kActors;  // null entries are free ids
    TArray<TarnAnim::Skeleton*> m_kTickSkeletons;
};

// The renderer's animation manager: sessions (storages) of anim actors, the
// tick that advances them, and root-motion accumulation switches.
//
// Owns its storages. Skeletons and links belong to the caller and must
// outlive the actors that name them.
class CAnimManager final : public TarnAnim::IAccumulationSwitch
{
public:
    using TickCallback = void (*)(CAnimManager* pManager, uint32 uiStorage, void* pUserData);

    CAnimManager() = default;
    ~CAnimManager();
    CAnimManager(const CAnimManager&) = delete;
    CAnimManager& operator=(const CAnimManager&) = delete;

    // A new storage; returns its index.
    uint32 AddSession();
    // Destroys a storage and its actors; refused (reported) from inside
    // that storage's own tick.
    void RemoveSession(uint32 uiStorage);
    AnimManagerStorage* GetStorage(uint32 uiStorage) const
    {
        return uiStorage < m_kStorages.GetSize() ? m_kStorages[uiStorage] : nullptr;
    }

    // An actor for an instance of a skeleton, moved by root motion on pLink.
    // Null after a report for an unknown storage or a missing instance.
    AnimActor* CreateActor(uint32 uiStorage, TarnAnim::Skeleton* pSkeleton, uint32 uiInstance, Link* pLink);
    void DestroyActor(AnimActor* pActor);
    // The actor of a link in a storage, or null.
    AnimActor* FindActor(uint32 uiStorage, const Link* pLink) const;

    // Advances every skeleton of the storage by fDeltaMs, frame by frame:
    // actor by actor, each instance through its whole tick; then the
    // instances no actor names. Controls faded out and flagged to go are
    // removed at the end of their instance's tick.
    void Tick(uint32 uiStorage, float fDeltaMs);
    void SetTickCallback(TickCallback pCallback, void* pUserData)
    {
        m_pTickCallback = pCallback;
        m_pTickUserData = pUserData;
    }

    // Switches root-motion accumulation of the actor's instance. Switching
    // it on also gives the instance a transition engine (created when
    // missing) that names this actor and moves its link. False after a
    // report when the skeleton has no mocap or no accumulation channels.
    bool SetAccumulation(AnimActor* pActor, bool bEnable) override;

private:
    // One actor's instance, with its extra skeleton's, through the tick.
    void TickActor(const TArray<TarnAnim::Skeleton*>& kSkeletons, const AnimActor& kActor,
                   TarnAnim::FrameProcessor::SWorkspace& kWorkspace);

    TArray<AnimManagerStorage*> m_kStorages;  // null entries are free
    TArray<TarnAnim::FrameProcessor::SWorkspace> m_kWorkspaces;
    uint32 m_uiTickingStorage = kInvalidIndex;
    TickCallback m_pTickCallback = nullptr;
    void* m_pTickUserData = nullptr;
};

}  // namespace TarnRenderer

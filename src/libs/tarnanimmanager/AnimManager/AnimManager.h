#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataDynamic/AccumulationSwitch.h"
#include "DataDynamic/AnimActor.h"
#include "Process/FrameProcessor.h"

namespace Common {
class CWorkerPool;
}

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
    TArray<AnimActor*> m_kActors;   // null entries are free ids
    uint32 m_uiFirstFreeActor = 0;  // no free id lies below it
    TArray<TarnAnim::Skeleton*> m_kTickSkeletons;
    TArray<TarnAnim::Skeleton*> m_kPhaseSkeletons;  // in a parallel phase opened by the manager
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
    // removed at the end of their instance's tick. With a pool, the actors
    // are split over its threads when their instances can be stepped apart
    // (see the tick's comment); the results are those of one thread, bit for
    // bit. Callbacks of a parallel tick must not create or destroy actors.
    void Tick(uint32 uiStorage, float fDeltaMs, Common::CWorkerPool* pPool = nullptr);
    // Opens and closes a parallel phase (see Skeleton) on the skeletons of
    // the storage's actors, around work that threads do on distinct actors
    // outside the tick (component updates). No actor may be created or
    // destroyed in between.
    void BeginParallelPhase(uint32 uiStorage);
    void EndParallelPhase(uint32 uiStorage);

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
    static void CollectSkeletons(const AnimManagerStorage& kStorage, TArray<TarnAnim::Skeleton*>& kSkeletons);
    static bool CanTickInParallel(const TArray<TarnAnim::Skeleton*>& kSkeletons, const AnimManagerStorage& kStorage);
    // One actor's instance, with its extra skeleton's, through the tick.
    void TickActor(const TArray<TarnAnim::Skeleton*>& kSkeletons, const AnimActor& kActor,
                   TarnAnim::FrameProcessor::SWorkspace& kWorkspace);

    TArray<AnimManagerStorage*> m_kStorages;                     // null entries are free
    TArray<TarnAnim::FrameProcessor::SWorkspace> m_kWorkspaces;  // one per thread of a tick
    uint32 m_uiTickingStorage = kInvalidIndex;
    TickCallback m_pTickCallback = nullptr;
    void* m_pTickUserData = nullptr;
};

}  // namespace TarnRenderer

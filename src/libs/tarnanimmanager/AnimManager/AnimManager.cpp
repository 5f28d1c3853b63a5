#include "AnimManager/AnimManager.h"

#include "DataDynamic/AnimatedSkeleton.h"
#include "DataDynamic/Skeleton.h"
#include "Process/FrameProcessor.h"
#include "Scene/Link.h"
#include "Scene/UserData.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Thread/WorkerPool.h"
#include "Transition/TransitionEngine.h"
#include "Utils/assertion.h"

namespace TarnRenderer {

namespace {

// An actor's tick reads, before anything else, objects that lie apart in
// memory: the actor, its instance, the instance's list of controls, the
// controls and their tick records, its transition engine and its link. With
// thousands of actors each would be a cache miss. They are fetched ahead in
// stages, each stage reading what the one before fetched, so that they have
// arrived when the actor's turn comes. The link's first user-data record and
// the start of its payload are fetched too: root-motion callbacks read the
// components kept there. Only fetches: nothing is changed.
constexpr uint32 kPrefetchActor = 12;
constexpr uint32 kPrefetchInstance = 6;
constexpr uint32 kPrefetchInstanceData = 4;
constexpr uint32 kPrefetchControls = 2;
// How much of a link's first user-data payload is fetched.
constexpr uint32 kUserDataPrefetchBytes = 512;
// Actors handed to a thread at a time in a parallel tick, and the fewest
// actors worth waking the other threads for (below, waking them costs more
// than it saves).
constexpr uint32 kActorsPerChunk = 64;
constexpr uint32 kMinActorsToShare = 512;

// Room for new controls while a parallel tick runs: transitions seldom make
// any, and the table must not move meanwhile.
uint32 ParallelHeadroom(const TarnAnim::Skeleton& kSkeleton)
{
    return 256 + kSkeleton.GetControlSlotCount() / 2;
}
inline void PrefetchLines(const void* pObject, size_t uiBytes)
{
    if (uiBytes == 0)
        return;
    const char* pBytes = static_cast<const char*>(pObject);
    for (size_t uiOffset = 0; uiOffset < uiBytes; uiOffset += 64)
        __builtin_prefetch(pBytes + uiOffset);
    __builtin_prefetch(pBytes + uiBytes - 1);
}

const TarnAnim::AnimatedSkeleton* ActorInstance(const TArray<AnimActor*>& kActors, uint32 uiActor, uint32 uiEnd)
{
    const AnimActor* pActor = uiActor < uiEnd ? kActors[uiActor] : nullptr;
    return pActor && pActor->pSkeleton ? pActor->pSkeleton->GetAnimatedSkeleton(pActor->iAnimatedSkeletonIdx) : nullptr;
}

// Fetches ahead for the actors before uiEnd only: those beyond may be another
// thread's, whose lists change meanwhile.
void PrefetchAhead(const TArray<AnimActor*>& kActors, uint32 uiActor, uint32 uiEnd)
{
    if (uiActor + kPrefetchActor < uiEnd)
        __builtin_prefetch(kActors[uiActor + kPrefetchActor]);
    if (const TarnAnim::AnimatedSkeleton* pInstance = ActorInstance(kActors, uiActor + kPrefetchInstance, uiEnd))
    {
        PrefetchLines(pInstance, sizeof(TarnAnim::AnimatedSkeleton));
        __builtin_prefetch(kActors[uiActor + kPrefetchInstance]->pLink);
    }
    if (const TarnAnim::AnimatedSkeleton* pInstance = ActorInstance(kActors, uiActor + kPrefetchInstanceData, uiEnd))
    {
        if (const Link* pLink = kActors[uiActor + kPrefetchInstanceData]->pLink)
            __builtin_prefetch(pLink->GetFirstUserData());
        __builtin_prefetch(pInstance->GetControlIds().GetData());
        if (const TarnAnim::TransitionEngine* pEngine = pInstance->GetTransitionEngine())
            PrefetchLines(pEngine, 256);
    }
    if (const TarnAnim::AnimatedSkeleton* pInstance = ActorInstance(kActors, uiActor + kPrefetchControls, uiEnd))
    {
        const AnimActor* pActor = kActors[uiActor + kPrefetchControls];
        const UserData* pRecord = pActor->pLink ? pActor->pLink->GetFirstUserData() : nullptr;
        if (pRecord && pRecord->m_pData)
            PrefetchLines(pRecord->m_pData,
                          pRecord->m_uiSize < kUserDataPrefetchBytes ? pRecord->m_uiSize : kUserDataPrefetchBytes);
        const TarnAnim::Skeleton* pSkeleton = pActor->pSkeleton;
        for (uint32 uiId : pInstance->GetControlIds())
        {
            if (const TarnAnim::AnimationControl* pControl = pSkeleton->GetControl(uiId))
                PrefetchLines(pControl, sizeof(TarnAnim::AnimationControl));
            pSkeleton->GetFrameProcessor()->PrefetchProgress(uiId);
        }
    }
}

}  // namespace

AnimManagerStorage::~AnimManagerStorage()
{
    for (AnimActor* pActor : m_kActors)
        TARN_DELETE(pActor);
}

CAnimManager::~CAnimManager()
{
    for (uint32 i = 0; i < m_kStorages.GetSize(); ++i)
        RemoveSession(i);
}

uint32 CAnimManager::AddSession()
{
    auto* pStorage = TARN_NEW_TAGGED("TarnRenderer::CAnimManager::AddSession", AnimManagerStorage);
    for (uint32 i = 0; i < m_kStorages.GetSize(); ++i)
    {
        if (!m_kStorages[i])
        {
            m_kStorages[i] = pStorage;
            return i;
        }
    }
    m_kStorages.Add(pStorage);
    return m_kStorages.GetSize() - 1;
}

void CAnimManager::RemoveSession(uint32 uiStorage)
{
    AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!pStorage)
        return;
    if (!TARN_ASSERT(uiStorage != m_uiTickingStorage, "Session %u is being ticked: it can't be removed now", uiStorage))
        return;
    for (AnimActor* pActor : pStorage->m_kActors)
        if (pActor)
            DestroyActor(pActor);
    m_kStorages[uiStorage] = nullptr;
    TARN_DELETE(pStorage);
}

AnimActor* CAnimManager::CreateActor(uint32 uiStorage, TarnAnim::Skeleton* pSkeleton, uint32 uiInstance, Link* pLink)
{
    if (!TARN_ASSERT(!Common::CWorkerPool::IsInLoop(), "Actors are made between steps, not by a parallel step"))
        return nullptr;
    AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!TARN_ASSERT(pStorage, "No animation storage %u", uiStorage))
        return nullptr;
    if (!TARN_ASSERT(pSkeleton && pSkeleton->GetAnimatedSkeleton(uiInstance), "No animated skeleton %u for the actor",
                     uiInstance))
        return nullptr;
    auto* pActor = TARN_NEW_TAGGED("TarnRenderer::CAnimManager::CreateActor", AnimActor);
    pActor->pSkeleton = pSkeleton;
    pActor->iAnimatedSkeletonIdx = uiInstance;
    pActor->pLink = pLink;
    pActor->uiStorage = uiStorage;
    TArray<AnimActor*>& kActors = pStorage->m_kActors;
    uint32 uiId = pStorage->m_uiFirstFreeActor;
    while (uiId < kActors.GetSize() && kActors[uiId])
        ++uiId;
    if (uiId == kActors.GetSize())
        kActors.Add(pActor);
    else
        kActors[uiId] = pActor;
    pActor->uiId = uiId;
    pStorage->m_uiFirstFreeActor = uiId + 1;
    return pActor;
}

void CAnimManager::DestroyActor(AnimActor* pActor)
{
    if (!pActor)
        return;
    if (!TARN_ASSERT(!Common::CWorkerPool::IsInLoop(), "Actors are removed between steps, not by a parallel step"))
        return;
    // A transition engine that names the actor must not keep a dangling
    // pointer to it: it is reset and forgets the actor.
    if (TarnAnim::AnimatedSkeleton* pInstance =
            pActor->pSkeleton ? pActor->pSkeleton->GetAnimatedSkeleton(pActor->iAnimatedSkeletonIdx) : nullptr)
    {
        TarnAnim::TransitionEngine* pEngine = pInstance->GetTransitionEngine();
        if (pEngine && pEngine->GetAnimActor() == pActor)
        {
            pEngine->Reset();
            pEngine->SetAnimActor(nullptr);
            pEngine->SetOwner(nullptr, kInvalidIndex);
        }
    }
    if (AnimManagerStorage* pStorage = GetStorage(pActor->uiStorage))
        if (pActor->uiId < pStorage->m_kActors.GetSize() && pStorage->m_kActors[pActor->uiId] == pActor)
        {
            pStorage->m_kActors[pActor->uiId] = nullptr;
            if (pActor->uiId < pStorage->m_uiFirstFreeActor)
                pStorage->m_uiFirstFreeActor = pActor->uiId;
        }
    TARN_DELETE(pActor);
}

AnimActor* CAnimManager::FindActor(uint32 uiStorage, const Link* pLink) const
{
    const AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!pStorage || !pLink)
        return nullptr;
    for (AnimActor* pActor : pStorage->m_kActors)
        if (pActor && pActor->pLink == pLink)
            return pActor;
    return nullptr;
}

void CAnimManager::Tick(uint32 uiStorage, float fDeltaMs, Common::CWorkerPool* pPool)
{
    AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!pStorage)
        return;
    m_uiTickingStorage = uiStorage;

    // The distinct skeletons of the storage, each prepared once.
    TArray<TarnAnim::Skeleton*>& kSkeletons = pStorage->m_kTickSkeletons;
    CollectSkeletons(*pStorage, kSkeletons);
    for (TarnAnim::Skeleton* pSkeleton : kSkeletons)
        pSkeleton->GetFrameProcessor()->PreUpdate(*pSkeleton, fDeltaMs);

    // Each actor's instance goes through the whole tick before the next
    // actor's, together with the instance of its extra skeleton.
    //
    // Callbacks run inside the passes (events, transition behaviours, root
    // motion, end of pass). On one thread they may create or destroy actors:
    // the actor list is read by index and each actor's fields are copied
    // before stepping. Actors are split over the pool's threads when every
    // instance can be stepped on its own: no events (their callbacks see the
    // skeleton's whole event table), no end-of-pass callback, no extra
    // skeletons (whose instances are shared between actors).
    const uint32 uiThreads =
        pPool && pStorage->m_kActors.GetSize() >= kMinActorsToShare && CanTickInParallel(kSkeletons, *pStorage)
            ? pPool->GetThreadCount()
            : 1;
    if (m_kWorkspaces.GetSize() < uiThreads)
        m_kWorkspaces.Resize(uiThreads);
    TarnAnim::FrameProcessor::SWorkspace& kWorkspace = m_kWorkspaces[0];
    if (uiThreads > 1)
    {
        for (TarnAnim::Skeleton* pSkeleton : kSkeletons)
            pSkeleton->BeginParallelPhase(ParallelHeadroom(*pSkeleton));
        const TArray<AnimActor*>& kActors = pStorage->m_kActors;
        pPool->ParallelFor(kActors.GetSize(), kActorsPerChunk, [&](uint32 uiFirst, uint32 uiEnd, uint32 uiThread) {
            for (uint32 uiActor = uiFirst; uiActor < uiEnd; ++uiActor)
            {
                PrefetchAhead(kActors, uiActor, uiEnd);
                if (const AnimActor* pActor = kActors[uiActor])
                    TickActor(kSkeletons, *pActor, m_kWorkspaces[uiThread]);
            }
        });
        for (TarnAnim::Skeleton* pSkeleton : kSkeletons)
            pSkeleton->EndParallelPhase();
    }
    else
    {
        for (uint32 uiActor = 0; uiActor < pStorage->m_kActors.GetSize(); ++uiActor)
        {
            PrefetchAhead(pStorage->m_kActors, uiActor, pStorage->m_kActors.GetSize());
            if (const AnimActor* pActor = pStorage->m_kActors[uiActor])
                TickActor(kSkeletons, *pActor, kWorkspace);
        }
    }

    // Instances that no actor names play their controls all the same.
    for (TarnAnim::Skeleton* pSkeleton : kSkeletons)
    {
        TarnAnim::FrameProcessor* pProcessor = pSkeleton->GetFrameProcessor();
        for (uint32 uiInstance = 0; uiInstance < pSkeleton->GetAnimatedSkeletonSlotCount(); ++uiInstance)
            if (!pProcessor->HasBegun(uiInstance) && pProcessor->StepInstance(*pSkeleton, uiInstance, kWorkspace))
                pSkeleton->RemoveFadedControls(uiInstance);
    }
    m_uiTickingStorage = kInvalidIndex;
    if (m_pTickCallback)
        m_pTickCallback(this, uiStorage, m_pTickUserData);
}

void CAnimManager::CollectSkeletons(const AnimManagerStorage& kStorage, TArray<TarnAnim::Skeleton*>& kSkeletons)
{
    kSkeletons.Empty();
    for (const AnimActor* pActor : kStorage.m_kActors)
    {
        if (!pActor)
            continue;
        for (TarnAnim::Skeleton* pSkeleton : {pActor->pSkeleton, pActor->pExtraSkeleton})
            if (pSkeleton && kSkeletons.Find(pSkeleton) == TArray<TarnAnim::Skeleton*>::uiMaxValue)
                kSkeletons.Add(pSkeleton);
    }
}

void CAnimManager::BeginParallelPhase(uint32 uiStorage)
{
    AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!pStorage)
        return;
    CollectSkeletons(*pStorage, pStorage->m_kPhaseSkeletons);
    for (TarnAnim::Skeleton* pSkeleton : pStorage->m_kPhaseSkeletons)
        pSkeleton->BeginParallelPhase(ParallelHeadroom(*pSkeleton));
}

void CAnimManager::EndParallelPhase(uint32 uiStorage)
{
    AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!pStorage)
        return;
    for (TarnAnim::Skeleton* pSkeleton : pStorage->m_kPhaseSkeletons)
        pSkeleton->EndParallelPhase();
    pStorage->m_kPhaseSkeletons.Empty();
}

bool CAnimManager::CanTickInParallel(const TArray<TarnAnim::Skeleton*>& kSkeletons, const AnimManagerStorage& kStorage)
{
    for (const TarnAnim::Skeleton* pSkeleton : kSkeletons)
        if (pSkeleton->HasEventInstances() || pSkeleton->GetFrameProcessor()->HasEndOfPassCallback())
            return false;
    for (const AnimActor* pActor : kStorage.m_kActors)
        if (pActor && pActor->pExtraSkeleton)
            return false;
    return true;
}

void CAnimManager::TickActor(const TArray<TarnAnim::Skeleton*>& kSkeletons, const AnimActor& kActor,
                             TarnAnim::FrameProcessor::SWorkspace& kWorkspace)
{
    TarnAnim::Skeleton* apPair[2] = {kActor.pSkeleton, kActor.pExtraSkeleton};
    const uint32 auiInstance[2] = {kActor.iAnimatedSkeletonIdx, kActor.uiExtraInstanceIdx};
    // A skeleton that appeared during the tick was not prepared: it waits
    // for the next tick.
    for (TarnAnim::Skeleton*& pSkeleton : apPair)
        if (pSkeleton && kSkeletons.Find(pSkeleton) == TArray<TarnAnim::Skeleton*>::uiMaxValue)
            pSkeleton = nullptr;
    if (!apPair[1])
    {
        if (apPair[0] && apPair[0]->GetFrameProcessor()->StepInstance(*apPair[0], auiInstance[0], kWorkspace))
            apPair[0]->RemoveFadedControls(auiInstance[0]);
        return;
    }
    // An instance another actor already stepped in this tick is not stepped
    // again.
    for (uint32 i = 0; i < 2; ++i)
        if (apPair[i] && !apPair[i]->GetFrameProcessor()->BeginInstance(*apPair[i], auiInstance[i]))
            apPair[i] = nullptr;
    bool bTimeLeft = apPair[0] || apPair[1];
    while (bTimeLeft)
    {
        bTimeLeft = false;
        // The extra skeleton steps first: the main skeleton's root-motion
        // pass reads the root track from it, and must see this step.
        if (apPair[1])
            bTimeLeft |= apPair[1]->GetFrameProcessor()->Step(*apPair[1], auiInstance[1], kWorkspace);
        if (apPair[0])
            bTimeLeft |= apPair[0]->GetFrameProcessor()->Step(*apPair[0], auiInstance[0], kWorkspace);
        for (uint32 i = 0; i < 2; ++i)
            if (apPair[i])
                apPair[i]->GetFrameProcessor()->PostStep(*apPair[i], auiInstance[i]);
    }
    for (uint32 i = 0; i < 2; ++i)
        if (apPair[i])
            apPair[i]->RemoveFadedControls(auiInstance[i]);
}

bool CAnimManager::SetAccumulation(AnimActor* pActor, bool bEnable)
{
    TarnAnim::Skeleton* pSkeleton = pActor ? pActor->pSkeleton : nullptr;
    if (!pSkeleton || !pSkeleton->HasMocap())
    {
        TARN_ASSERT(false, "Skeleton is not init");
        return false;
    }
    if (!pSkeleton->HasAccumulationChannels())
    {
        TARN_ASSERT(false, "Skeleton has no accumulation channel");
        return false;
    }
    TarnAnim::AnimatedSkeleton* pInstance = pSkeleton->GetAnimatedSkeleton(pActor->iAnimatedSkeletonIdx);
    if (!TARN_ASSERT(pInstance, "The actor's animated skeleton %u does not exist", pActor->iAnimatedSkeletonIdx))
        return false;
    pInstance->SetAccumulation(bEnable);
    if (bEnable)
    {
        // Root motion lands on the actor's link: the instance needs a
        // transition engine that names the actor and its link. What an
        // existing engine already has is kept.
        TarnAnim::TransitionEngine* pEngine = pInstance->GetTransitionEngine();
        if (!pEngine)
            pEngine = pInstance->CreateTransitionEngine();
        if (!pEngine)
            return false;
        if (!pEngine->GetAnimActor())
        {
            pEngine->SetAnimActor(pActor);
            pEngine->SetOwner(this, pActor->uiId);
        }
        if (!pEngine->GetSceneObject())
            pEngine->SetSceneObject(pActor->pLink);
    }
    return true;
}

}  // namespace TarnRenderer

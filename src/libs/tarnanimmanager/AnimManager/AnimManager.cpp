#include "AnimManager/AnimManager.h"

#include "DataDynamic/Skeleton.h"
#include "Process/FrameProcessor.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Transition/TransitionEngine.h"
#include "Utils/assertion.h"

namespace TarnRenderer {

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
    uint32 uiId = 0;
    while (uiId < kActors.GetSize() && kActors[uiId])
        ++uiId;
    if (uiId == kActors.GetSize())
        kActors.Add(pActor);
    else
        kActors[uiId] = pActor;
    pActor->uiId = uiId;
    return pActor;
}

void CAnimManager::DestroyActor(AnimActor* pActor)
{
    if (!pActor)
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
            pStorage->m_kActors[pActor->uiId] = nullptr;
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

void CAnimManager::Tick(uint32 uiStorage, float fDeltaMs)
{
    AnimManagerStorage* pStorage = GetStorage(uiStorage);
    if (!pStorage)
        return;
    m_uiTickingStorage = uiStorage;

    // The distinct skeletons of the storage, each prepared once.
    TArray<TarnAnim::Skeleton*>& kSkeletons = pStorage->m_kTickSkeletons;
    kSkeletons.Empty();
    for (const AnimActor* pActor : pStorage->m_kActors)
    {
        if (!pActor)
            continue;
        for (TarnAnim::Skeleton* pSkeleton : {pActor->pSkeleton, pActor->pExtraSkeleton})
            if (pSkeleton && kSkeletons.Find(pSkeleton) == TArray<TarnAnim::Skeleton*>::uiMaxValue)
                kSkeletons.Add(pSkeleton);
    }
    for (TarnAnim::Skeleton* pSkeleton : kSkeletons)
        pSkeleton->GetFrameProcessor()->PreUpdate(*pSkeleton, fDeltaMs);

    // Step each skeleton frame by frame, together with the actor's extra
    // skeleton, until no control has time left. A skeleton shared by several
    // actors is stepped once.
    //
    // Callbacks run inside the steps (events, transition behaviours, root
    // motion, end of pass) and may create or destroy actors: the actor list is
    // read by index and each actor's fields are copied before stepping.
    TArray<bool> kStepped;
    kStepped.Resize(kSkeletons.GetSize());
    uint32 uiSteppedCount = 0;
    for (uint32 uiActor = 0; uiActor < pStorage->m_kActors.GetSize(); ++uiActor)
    {
        const AnimActor* pActor = pStorage->m_kActors[uiActor];
        if (!pActor)
            continue;
        if (uiSteppedCount == kSkeletons.GetSize())
            break;
        TarnAnim::Skeleton* apPair[2] = {pActor->pSkeleton, pActor->pExtraSkeleton};
        const uint32 auiInstance[2] = {pActor->iAnimatedSkeletonIdx, pActor->uiExtraInstanceIdx};
        uint32 auiIndex[2] = {kInvalidIndex, kInvalidIndex};
        bool bAnyNew = false;
        for (uint32 i = 0; i < 2; ++i)
        {
            if (!apPair[i])
                continue;
            auiIndex[i] = kSkeletons.Find(apPair[i]);
            // A skeleton that appeared during the tick was not prepared: it
            // waits for the next tick.
            if (auiIndex[i] == kInvalidIndex)
                apPair[i] = nullptr;
            else if (!kStepped[auiIndex[i]])
                bAnyNew = true;
        }
        if (!bAnyNew)
            continue;
        bool bTimeLeft = true;
        while (bTimeLeft)
        {
            bTimeLeft = false;
            // The extra skeleton steps first: the main skeleton's root-motion
            // pass reads the root track from it, and must see this step.
            if (apPair[1])
                bTimeLeft |= apPair[1]->GetFrameProcessor()->Step(*apPair[1], auiInstance[1]);
            if (apPair[0])
                bTimeLeft |= apPair[0]->GetFrameProcessor()->Step(*apPair[0], auiInstance[0]);
            for (TarnAnim::Skeleton* pSkeleton : apPair)
                if (pSkeleton)
                    pSkeleton->GetFrameProcessor()->PostStep(*pSkeleton);
        }
        for (uint32 i = 0; i < 2; ++i)
        {
            if (apPair[i] && !kStepped[auiIndex[i]])
            {
                kStepped[auiIndex[i]] = true;
                ++uiSteppedCount;
            }
        }
    }

    for (TarnAnim::Skeleton* pSkeleton : kSkeletons)
        pSkeleton->RemoveFadedControls();
    m_uiTickingStorage = kInvalidIndex;
    if (m_pTickCallback)
        m_pTickCallback(this, uiStorage, m_pTickUserData);
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

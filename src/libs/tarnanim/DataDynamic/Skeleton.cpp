#include "DataDynamic/Skeleton.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "DataStatic/AnimSetLoader.h"
#include "Process/FrameProcessor.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Transition/TransitionEngine.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"

namespace TarnAnim {

namespace {

// The first null entry of a pointer array, or its size (append).
// The lowest free slot at or after uiFrom (every slot below it is taken).
template <class T> uint32 FirstFreeSlot(const TarnRenderer::TArray<T*>& kArray, uint32 uiFrom = 0)
{
    for (uint32 i = uiFrom; i < kArray.GetSize(); ++i)
        if (!kArray[i])
            return i;
    return kArray.GetSize();
}

template <class T> uint32 StoreInFreeSlot(TarnRenderer::TArray<T*>& kArray, T* pItem)
{
    const uint32 uiSlot = FirstFreeSlot(kArray);
    if (uiSlot == kArray.GetSize())
        kArray.Add(pItem);
    else
        kArray[uiSlot] = pItem;
    return uiSlot;
}

}  // namespace

Skeleton::Skeleton()
{
    m_pFrameProcessor = TARN_NEW_TAGGED("TarnAnim::Skeleton::Skeleton", FrameProcessor);
}

Skeleton::~Skeleton()
{
    TARN_ASSERT(m_kVecEventInstance.GetSize() == 0 && m_kVecEventInfo.GetSize() == 0 && m_kVecMocap.GetSize() == 0,
                "Skeleton hasn't been released");
    // Released all the same, so that a forgotten Release never leaks.
    Release();
    TARN_DELETE(m_pFrameProcessor);
}

void Skeleton::Init(uint32 uiCursorCount, uint32 uiSecondCount)
{
    m_iNbCursor = uiCursorCount;
    m_uiSecondCount = uiSecondCount;
}

// ---------------------------------------------------------------------------
// Mocaps

int32 Skeleton::LoadAndStoreMocap(const char* pPath)
{
    Common::CInputErrors kErrors;
    Mocap* pMocap = AnimSetLoader::LoadFile(pPath, kErrors);
    if (!pMocap)
    {
        // A line per problem kept, "<file>: <member>: <problem>", then the
        // count of the others.
        char acLine[AnimSetLoader::kErrorTextCapacity];
        for (uint32 uiIdx = 0; uiIdx < kErrors.GetKeptCount(); ++uiIdx)
            Common::CDebugLog::Print("%s", kErrors.FormatProblem(uiIdx, acLine, sizeof(acLine)));
        if (kErrors.FormatUnlisted(kErrors.GetKeptCount(), acLine, sizeof(acLine)))
            Common::CDebugLog::Print("%s: document: %s", kErrors.GetSource(), acLine);
        TARN_ASSERT(false, "Failed to load Mocap");
        return -1;
    }
    return AddMocap(pMocap);
}

int32 Skeleton::AddMocap(Mocap* pMocap)
{
    if (!pMocap)
        return -1;
    if (!m_bHasMocap)
    {
        m_uiChannelCount = pMocap->GetChannelCount();
        m_uiLevelCount = pMocap->GetLevelCount();
        for (uint32 i = 0; i < 3; ++i)
            m_auiAccumChannels[i] = pMocap->m_auiAccumChannels[i];
        m_kChannelNames = pMocap->m_kChannelNames;
        m_kChannelRanges = pMocap->m_kChannelRanges;
    }
    else if (pMocap->GetChannelCount() != m_uiChannelCount || pMocap->GetLevelCount() != m_uiLevelCount ||
             pMocap->m_auiAccumChannels[0] != m_auiAccumChannels[0] ||
             pMocap->m_auiAccumChannels[1] != m_auiAccumChannels[1] ||
             pMocap->m_auiAccumChannels[2] != m_auiAccumChannels[2])
    {
        TARN_ASSERT(false, "Cannot add new Mocap with different architecture that one previously added");
        TARN_DELETE(pMocap);
        return -1;
    }
    const uint32 uiIndex = StoreInFreeSlot(m_kVecMocap, pMocap);
    m_bHasMocap = true;
    return static_cast<int32>(uiIndex);
}

int32 Skeleton::FindMocap(const char* pName) const
{
    for (uint32 i = 0; i < m_kVecMocap.GetSize(); ++i)
        if (m_kVecMocap[i] && m_kVecMocap[i]->m_kName.Equals(pName))
            return static_cast<int32>(i);
    return -1;
}

bool Skeleton::IsMocapUnused(uint32 uiMocapIndex) const
{
    for (const AnimationControl* pControl : m_kControls)
        if (pControl && pControl->m_uiMocapIndex == uiMocapIndex)
            return false;
    return true;
}

void Skeleton::ReleaseMocap(uint32 uiMocapIndex)
{
    if (uiMocapIndex >= m_kVecMocap.GetSize() || !m_kVecMocap[uiMocapIndex])
        return;
    TARN_DELETE(m_kVecMocap[uiMocapIndex]);
    m_kVecMocap[uiMocapIndex] = nullptr;
}

// ---------------------------------------------------------------------------
// Instances

AnimatedSkeleton* Skeleton::CreateAnimatedSkeleton(uint32 _indexNewInstanceAt)
{
    if (!TARN_ASSERT(!IsInParallelPhase(), "Skeleton : instances are made between steps, not while they are stepped"))
        return nullptr;
    if (!TARN_ASSERT(m_iNbCursor, "AnimatedSkeleton : Number of double buffer not set"))
        return nullptr;
    if (_indexNewInstanceAt == kInvalidIndex)
        _indexNewInstanceAt = FirstFreeSlot(m_kVecAnimatedSkeleton, m_uiFirstFreeInstance);
    while (m_kVecAnimatedSkeleton.GetSize() <= _indexNewInstanceAt)
        m_kVecAnimatedSkeleton.Add(nullptr);
    if (!TARN_ASSERT(m_kVecAnimatedSkeleton[_indexNewInstanceAt] == 0,
                     "Trying to set an animated skeleton at existing instance index !"))
        return nullptr;
    auto* pInstance = TARN_NEW_TAGGED("TarnAnim::Skeleton::CreateAnimatedSkeleton", AnimatedSkeleton,
                                      _indexNewInstanceAt, m_iNbCursor);
    m_kVecAnimatedSkeleton[_indexNewInstanceAt] = pInstance;
    if (_indexNewInstanceAt == m_uiFirstFreeInstance)
        m_uiFirstFreeInstance = _indexNewInstanceAt + 1;
    return pInstance;
}

void Skeleton::DestroyAnimatedSkeleton(uint32 uiIndex)
{
    if (!TARN_ASSERT(!IsInParallelPhase(),
                     "Skeleton : instances are removed between steps, not while they are stepped"))
        return;
    AnimatedSkeleton* pInstance = GetAnimatedSkeleton(uiIndex);
    if (!pInstance)
        return;
    if (pInstance->GetTransitionEngine())
        pInstance->DestroyTransitionEngine();
    m_kVecAnimatedSkeleton[uiIndex] = nullptr;
    if (uiIndex < m_uiFirstFreeInstance)
        m_uiFirstFreeInstance = uiIndex;
    // Removing a control edits the instance's list: work on a copy.
    const TarnRenderer::TArray<uint32> kControlIds = pInstance->m_kVecIdAnimationControl;
    for (uint32 uiControlId : kControlIds)
        RemoveAnimationControl(uiControlId);
    TARN_DELETE(pInstance);
}

AnimatedSkeleton* Skeleton::GetAnimatedSkeletonChecked(uint32 uiIndex) const
{
    const bool bIsInRange = uiIndex < m_kVecAnimatedSkeleton.GetSize();
    if (!TARN_ASSERT(bIsInRange, "GetAnimatedSkeletonLock : invalid id !"))
        return nullptr;
    return m_kVecAnimatedSkeleton[uiIndex];
}

// ---------------------------------------------------------------------------
// Controls

AnimationControl* Skeleton::CreateAnimatedControl(uint32 uiInstance, uint32 uiMocapIndex, uint32 uiSequenceIndex)
{
    if (!m_bHasMocap)
        return nullptr;
    AnimatedSkeleton* pInstance = GetAnimatedSkeleton(uiInstance);
    const Sequence* pSequence = GetSequence(uiMocapIndex, uiSequenceIndex);
    if (!pInstance || !pSequence)
        return nullptr;

    std::lock_guard<std::recursive_mutex> kLock(m_kTableLock);
    // The lowest free id: every slot below the hint is taken.
    uint32 uiId = m_uiFirstFreeControl < m_kControls.GetSize() ? m_uiFirstFreeControl : m_kControls.GetSize();
    while (uiId < m_kControls.GetSize() && m_kControls[uiId])
        ++uiId;
    // While other threads read the table it must not move.
    if (!TARN_ASSERT(!IsInParallelPhase() || uiId < m_kControls.GetCapacity(),
                     "Skeleton : no room left for another control while instances are stepped in parallel"))
        return nullptr;
    void* pSlot = AcquireControlSlot(uiId);
    if (!pSlot)
        return nullptr;
    auto* pControl = ::new (pSlot) AnimationControl();
    if (uiId == m_kControls.GetSize())
    {
        m_kControls.Add(pControl);
        m_uiControlSlots.store(m_kControls.GetSize(), std::memory_order_release);
    }
    else
        m_kControls[uiId] = pControl;
    m_uiFirstFreeControl = uiId + 1;
    pControl->m_uiId = uiId;
    pControl->m_uiInstanceIndex = uiInstance;
    pControl->m_uiMocapIndex = uiMocapIndex;
    pControl->m_uiSequenceIndex = uiSequenceIndex;
    const float fRate = pSequence->m_fFrameRate > 0.0f ? pSequence->m_fFrameRate : 30.0f;
    pControl->m_fFramesPerMs = fRate / 1000.0f;
    pControl->m_fMsPerFrame = 1000.0f / fRate;
    pControl->m_fDuration = pSequence->m_fDuration * 1000.0f;
    pControl->m_fFrameCount = static_cast<float>(pSequence->GetFrameCount());
    pControl->m_bSequenceLoops = pSequence->m_bLoop;
    pControl->m_uiBlendMode = pSequence->m_uiBlendMode;
    pInstance->m_kVecIdAnimationControl.Add(uiId);
    BindNewControlEvents(pControl);
    return pControl;
}

bool Skeleton::RemoveAnimationControl(uint32 uiControlId)
{
    std::lock_guard<std::recursive_mutex> kLock(m_kTableLock);
    AnimationControl* pControl = GetControl(uiControlId);
    if (!pControl)
        return false;
    // The instance is gone already while DestroyAnimatedSkeleton removes its
    // controls.
    if (AnimatedSkeleton* pInstance = GetAnimatedSkeleton(pControl->m_uiInstanceIndex))
    {
        TarnRenderer::TArray<uint32>& m_kVecIdAnimationControl = pInstance->m_kVecIdAnimationControl;
        const uint32 iIndex = m_kVecIdAnimationControl.Find(uiControlId);
        // The condition's text, as written, is part of the report.
        // clang-format off
        if (TARN_ASSERT(iIndex<m_kVecIdAnimationControl.GetSize(), "IdAnimationControl not found in AnimatedSkeleton"))
            m_kVecIdAnimationControl.RemoveAt(iIndex);
        // clang-format on
    }
    UnbindControlEvents(uiControlId);
    m_kControls[uiControlId] = nullptr;
    if (uiControlId < m_uiFirstFreeControl)
        m_uiFirstFreeControl = uiControlId;
    // A control made later in this id must not inherit the tick's progress.
    m_pFrameProcessor->ForgetControl(uiControlId);
    pControl->~AnimationControl();
    ReleaseControlSlot(uiControlId);
    return true;
}

void* Skeleton::AcquireControlSlot(uint32 uiControlId)
{
    const uint32 uiBlock = uiControlId / kControlsPerBlock;
    while (m_kControlBlocks.GetSize() <= uiBlock)
    {
        const uint32 uiBefore = m_kControlBlocks.GetSize();
        m_kControlBlocks.Add(SControlBlock());
        if (m_kControlBlocks.GetSize() == uiBefore)
            return nullptr;  // refused (reported by the array)
    }
    SControlBlock& kBlock = m_kControlBlocks[uiBlock];
    if (!kBlock.pStorage)
    {
        constexpr size_t uiAlignment = alignof(AnimationControl) > 16 ? alignof(AnimationControl) : 16;
        kBlock.pStorage = TARN_ALLOC_ALIGNED(sizeof(AnimationControl) * kControlsPerBlock, uiAlignment);
        if (!kBlock.pStorage)
            return nullptr;
    }
    ++kBlock.uiLive;
    return static_cast<uint8*>(kBlock.pStorage) + size_t(uiControlId % kControlsPerBlock) * sizeof(AnimationControl);
}

void Skeleton::ReleaseControlSlot(uint32 uiControlId)
{
    const uint32 uiBlock = uiControlId / kControlsPerBlock;
    if (uiBlock >= m_kControlBlocks.GetSize())
        return;
    SControlBlock& kBlock = m_kControlBlocks[uiBlock];
    if (kBlock.uiLive > 0 && --kBlock.uiLive == 0)
    {
        TARN_FREE(kBlock.pStorage);
        kBlock.pStorage = nullptr;
    }
}

void Skeleton::BeginParallelPhase(uint32 uiHeadroom)
{
    std::lock_guard<std::recursive_mutex> kLock(m_kTableLock);
    const uint32 uiWanted = m_kControls.GetSize() + uiHeadroom;
    if (m_uiParallelPhases == 0 && m_kControls.GetCapacity() < uiWanted)
        m_kControls.Reserve(uiWanted);
    ++m_uiParallelPhases;
}

void Skeleton::EndParallelPhase()
{
    std::lock_guard<std::recursive_mutex> kLock(m_kTableLock);
    if (TARN_ASSERT(m_uiParallelPhases > 0, "Skeleton : no parallel phase to end"))
        --m_uiParallelPhases;
}

void Skeleton::RemoveFadedControls()
{
    // The controls lie side by side in id order (kControlsPerBlock): the one
    // a few ids ahead is fetched early, so that the sweep does not wait.
    constexpr uint32 kPrefetchAhead = 24;
    for (uint32 i = 0; i < m_kControls.GetSize(); ++i)
    {
        if (const AnimationControl* pAhead = GetControl(i + kPrefetchAhead))
        {
            __builtin_prefetch(pAhead);
            __builtin_prefetch(reinterpret_cast<const char*>(pAhead) + sizeof(AnimationControl) - 1);
        }
        AnimationControl* pControl = m_kControls[i];
        if (pControl && pControl->m_abFlags[AnimationControl::kFlagRemoveWhenFadedOut] &&
            pControl->GetEffectiveWeight() <= 0.0f)
            RemoveAnimationControl(i);
    }
}

void Skeleton::RemoveFadedControls(uint32 uiInstance)
{
    const AnimatedSkeleton* pInstance = GetAnimatedSkeleton(uiInstance);
    if (!pInstance)
        return;
    // Newest first: a removal takes the id out of the list being read.
    const TarnRenderer::TArray<uint32>& kIds = pInstance->m_kVecIdAnimationControl;
    for (uint32 i = kIds.GetSize(); i-- > 0;)
    {
        if (i >= kIds.GetSize())
            continue;
        const uint32 uiId = kIds[i];
        const AnimationControl* pControl = GetControl(uiId);
        if (pControl && pControl->m_abFlags[AnimationControl::kFlagRemoveWhenFadedOut] &&
            pControl->GetEffectiveWeight() <= 0.0f)
            RemoveAnimationControl(uiId);
    }
}

// ---------------------------------------------------------------------------
// Events

void Skeleton::BindNewControlEvents(AnimationControl* pControl)
{
    for (const EventInfo* pInfo : m_kVecEventInfo)
    {
        if (pInfo && pInfo->m_uiMocapIndex == pControl->m_uiMocapIndex &&
            pInfo->m_uiSequenceIndex == pControl->m_uiSequenceIndex &&
            (pInfo->m_uiInstance == kInvalidIndex || pInfo->m_uiInstance == pControl->m_uiInstanceIndex))
            AddEventInstance(pControl->m_uiId, pInfo->m_uiId);
    }
}

void Skeleton::UnbindControlEvents(uint32 uiControlId)
{
    for (uint32 i = 0; i < m_kVecEventInstance.GetSize(); ++i)
    {
        EventInstance* pInstance = m_kVecEventInstance[i];
        if (pInstance && pInstance->m_uiControlId == uiControlId)
        {
            m_kVecEventInstance[i] = nullptr;
            --m_uiLiveEventInstances;
            TARN_DELETE(pInstance);
        }
    }
}

EventInfo* Skeleton::AddEventInfo(uint32 uiMocapIndex, uint32 uiSequenceIndex, uint32 uiFrame, uint64 ui64EventId,
                                  bool bOneShot)
{
    auto* pInfo = TARN_NEW(EventInfo);
    if (!pInfo)
        return nullptr;
    pInfo->m_uiId = StoreInFreeSlot(m_kVecEventInfo, pInfo);
    pInfo->m_uiMocapIndex = uiMocapIndex;
    pInfo->m_uiSequenceIndex = uiSequenceIndex;
    pInfo->m_fFrame = static_cast<float>(uiFrame);
    pInfo->m_ui64EventId = ui64EventId;
    pInfo->m_bOneShot = bOneShot;
    return pInfo;
}

EventInfo* Skeleton::AddEventInfo(uint32 uiInstance, uint32 uiMocapIndex, uint32 uiSequenceIndex, uint32 uiFrame,
                                  uint64 ui64EventId, bool bOneShot)
{
    EventInfo* pInfo = AddEventInfo(uiMocapIndex, uiSequenceIndex, uiFrame, ui64EventId, bOneShot);
    if (!pInfo)
        return nullptr;
    pInfo->m_uiInstance = uiInstance;
    // Existing controls of the sequence are bound at once, on every instance
    // (the info's instance always equals the one given here); controls made
    // later are bound only on that instance.
    for (const AnimationControl* pControl : m_kControls)
    {
        if (pControl && pControl->m_uiMocapIndex == uiMocapIndex && pControl->m_uiSequenceIndex == uiSequenceIndex &&
            (pInfo->m_uiInstance == kInvalidIndex || pInfo->m_uiInstance == uiInstance))
            AddEventInstance(pControl->m_uiId, pInfo->m_uiId);
    }
    return pInfo;
}

EventInstance* Skeleton::AddEventInstance(uint32 uiControlId, uint32 uiEventInfoId)
{
    std::lock_guard<std::recursive_mutex> kLock(m_kTableLock);
    auto* pInstance = TARN_NEW(EventInstance);
    if (!pInstance)
        return nullptr;
    pInstance->m_uiId = StoreInFreeSlot(m_kVecEventInstance, pInstance);
    ++m_uiLiveEventInstances;
    pInstance->m_uiSerial = m_uiNextEventSerial++;
    pInstance->m_uiEventInfoId = uiEventInfoId;
    pInstance->m_uiControlId = uiControlId;
    return pInstance;
}

void Skeleton::RemoveEventInfo(uint32 uiEventInfoId)
{
    EventInfo* pEventInfo = GetEventInfo(uiEventInfoId);
    if (!TARN_ASSERT(pEventInfo, "EventInfo already removed"))
        return;
    for (uint32 i = 0; i < m_kVecEventInstance.GetSize(); ++i)
    {
        EventInstance* pInstance = m_kVecEventInstance[i];
        if (pInstance && pInstance->m_uiEventInfoId == uiEventInfoId)
        {
            m_kVecEventInstance[i] = nullptr;
            --m_uiLiveEventInstances;
            TARN_DELETE(pInstance);
        }
    }
    m_kVecEventInfo[uiEventInfoId] = nullptr;
    TARN_DELETE(pEventInfo);
}

void Skeleton::RemoveEventInstance(uint32 uiEventInstanceId)
{
    std::lock_guard<std::recursive_mutex> kLock(m_kTableLock);
    EventInstance* pEventInstance = GetEventInstance(uiEventInstanceId);
    if (!TARN_ASSERT(pEventInstance, "EventInstance already removed"))
        return;
    m_kVecEventInstance[uiEventInstanceId] = nullptr;
    --m_uiLiveEventInstances;
    TARN_DELETE(pEventInstance);
}

void Skeleton::CheckEvents(uint32 uiAnimated)
{
    for (uint32 i = 0; m_uiLiveEventInstances > 0 && i < m_kVecEventInstance.GetSize(); ++i)
    {
        EventInstance* pInstance = m_kVecEventInstance[i];
        if (!pInstance)
            continue;
        AnimationControl* pControl = GetControl(pInstance->m_uiControlId);
        if (pControl && pControl->m_uiInstanceIndex != uiAnimated)
            continue;
        const EventInfo* pInfo = GetEventInfo(pInstance->m_uiEventInfoId);
        const bool bOnFrame =
            pInfo && pControl && pControl->m_fFrame == pInfo->m_fFrame && pControl->GetEffectiveWeight() > 0.001f;
        if (!bOnFrame)
        {
            pInstance->m_bFired = false;
            continue;
        }
        if (pInstance->m_bFired)
            continue;
        pInstance->m_bFired = true;

        const uint32 uiInfoId = pInstance->m_uiEventInfoId;
        const uint32 uiSerial = pInstance->m_uiSerial;
        const uint64 ui64EventId = pInfo->m_ui64EventId;
        const bool bOneShot = pInfo->m_bOneShot;
        // Still the same instance (ids are reused) and still bound to an info.
        auto kStillThere = [&]() {
            EventInstance* pNow = GetEventInstance(i);
            return pNow && pNow->m_uiSerial == uiSerial && GetEventInfo(uiInfoId) ? pNow : nullptr;
        };
        // A callback may remove the control, the instance or the info: each
        // is looked up again after every call.
        EventCallback apCallbacks[3] = {
            pControl->m_pEventCallback,
            nullptr,
            m_pEventCallback,
        };
        void* apUserData[3] = {pControl->m_pEventUserData, nullptr, m_pEventUserData};
        if (const AnimatedSkeleton* pAnimated = GetAnimatedSkeleton(pControl->m_uiInstanceIndex))
        {
            apCallbacks[1] = pAnimated->m_pEventCallback;
            apUserData[1] = pAnimated->m_pEventUserData;
        }
        for (uint32 uiCall = 0; uiCall < 3; ++uiCall)
        {
            if (!apCallbacks[uiCall])
                continue;
            apCallbacks[uiCall](this, pInstance, ui64EventId, apUserData[uiCall]);
            pInstance = kStillThere();
            if (!pInstance)
                break;
        }
        if (bOneShot && kStillThere())
            RemoveEventInstance(i);
    }
}

bool Skeleton::DumpControls(char* pBuffer, uint32 uiSize) const
{
    if (!pBuffer || uiSize == 0)
        return false;
    pBuffer[0] = '\0';
    uint32 uiUsed = 0;
    for (const AnimationControl* pControl : m_kControls)
    {
        if (!pControl || !(pControl->GetEffectiveWeight() > 0.0f))
            continue;
        const Mocap* pMocap = GetMocap(pControl->m_uiMocapIndex);
        const Sequence* pSequence = pMocap ? pMocap->GetSequence(pControl->m_uiSequenceIndex) : nullptr;
        char acLine[256];
        const int iLength =
            snprintf(acLine, sizeof(acLine), "(%d)%s %s \n", static_cast<int>(pControl->m_uiInstanceIndex),
                     pMocap ? pMocap->m_kName.Get() : "?", pSequence ? pSequence->m_kName.Get() : "?");
        if (iLength < 0 || uiUsed + static_cast<uint32>(iLength) + 1 > uiSize)
            return false;
        memcpy(pBuffer + uiUsed, acLine, static_cast<size_t>(iLength) + 1);
        uiUsed += static_cast<uint32>(iLength);
    }
    return true;
}

// ---------------------------------------------------------------------------
// LOD

void Skeleton::SetLodDistances(float fD0, float fD1, float fD2, float fD3)
{
    m_afLodDistances[0] = fD0;
    m_afLodDistances[1] = fD1;
    m_afLodDistances[2] = fD2;
    m_afLodDistances[3] = fD3;
}

void Skeleton::UpdateLod()
{
    constexpr float kPi = 3.14159265358979f;
    const float fD0 = m_afLodDistances[0];
    const float fD1 = m_afLodDistances[1];
    const float fD2 = m_afLodDistances[2];
    const float fD3 = m_afLodDistances[3];
    for (AnimatedSkeleton* pInstance : m_kVecAnimatedSkeleton)
    {
        if (!pInstance || pInstance->m_fCameraDistance == 0.0f)
            continue;
        const float d = pInstance->m_fCameraDistance;
        if (!(d < fD3))
            continue;
        float fBlend = 0.01f;
        if (d > fD0)
            fBlend += 1.0f - std::cos(kPi * (d - fD0) / (2.0f * fD3));
        const uint32 uiQuality = d <= fD1 ? 1u : 0u;
        uint32 uiPercentage = 100;
        if (d > fD2)
            uiPercentage = static_cast<uint32>(std::cos(kPi * d / (2.0f * fD3)) * 100.0f);
        pInstance->SetLod(uiPercentage, uiQuality, fBlend);
        pInstance->SetDistance(d);
    }
}

// ---------------------------------------------------------------------------

void Skeleton::Release()
{
    // Instances first: their transition engines remove their own controls.
    for (uint32 i = 0; i < m_kVecAnimatedSkeleton.GetSize(); ++i)
        DestroyAnimatedSkeleton(i);
    m_kVecAnimatedSkeleton.Clear();
    m_uiFirstFreeInstance = 0;
    for (uint32 i = 0; i < m_kControls.GetSize(); ++i)
        RemoveAnimationControl(i);
    m_kControls.Clear();
    m_uiControlSlots.store(0, std::memory_order_release);
    m_uiFirstFreeControl = 0;
    m_kControlBlocks.Clear();  // every block was freed with its last control
    for (EventInstance*& pInstance : m_kVecEventInstance)
    {
        TARN_DELETE(pInstance);
        pInstance = nullptr;
    }
    m_kVecEventInstance.Clear();
    m_uiLiveEventInstances = 0;
    for (EventInfo*& pInfo : m_kVecEventInfo)
    {
        TARN_DELETE(pInfo);
        pInfo = nullptr;
    }
    m_kVecEventInfo.Clear();
    for (uint32 i = 0; i < m_kVecMocap.GetSize(); ++i)
        ReleaseMocap(i);
    m_kVecMocap.Clear();
}

}  // namespace TarnAnim

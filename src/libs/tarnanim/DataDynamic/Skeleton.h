#pragma once

#include <atomic>
#include <limits>
#include <mutex>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataDynamic/AnimatedSkeleton.h"
#include "DataDynamic/AnimationControl.h"
#include "DataStatic/Mocap.h"

namespace TarnAnim {

class FrameProcessor;

// An event placed on a frame of a sequence.
struct EventInfo
{
    uint32 m_uiId = kInvalidIndex;
    uint32 m_uiMocapIndex = kInvalidIndex;
    uint32 m_uiSequenceIndex = kInvalidIndex;
    float m_fFrame = 0.0f;
    uint32 m_uiInstance = kInvalidIndex;  // kInvalidIndex: every instance
    uint64 m_ui64EventId = 0;
    bool m_bOneShot = false;
};

// An event info bound to one control.
struct EventInstance
{
    uint32 m_uiId = kInvalidIndex;
    uint32 m_uiEventInfoId = kInvalidIndex;
    uint32 m_uiControlId = kInvalidIndex;
    bool m_bFired = false;
    // Unique per skeleton: tells an instance from a later one that reuses
    // its id while an event callback runs.
    uint32 m_uiSerial = 0;
};

// The animation data and state of one animated model.
//
// Owns its mocaps (the first fixes the architecture: channel count, level
// count and the three accumulation channels), its instances, its control
// table, its events and its frame processor. Ids of removed controls,
// instances, mocaps and events are null entries reused by the next
// creation (lowest free first). Every mocap, event and instance must be
// released (Release) before destruction.
//
// Threads: between BeginParallelPhase and EndParallelPhase, distinct
// instances may be worked on by distinct threads (their controls created,
// played, stepped and removed). Control and event creation and removal are
// then serialised by the skeleton's lock, and the control table does not
// move: a control beyond the room reserved at the phase's start is refused
// (reported), as is creating or destroying an instance. A thread reads only
// its own instances' controls meanwhile. Outside a phase the skeleton
// belongs to one thread at a time.
class Skeleton
{
public:
    Skeleton();
    virtual ~Skeleton();
    Skeleton(const Skeleton&) = delete;
    Skeleton& operator=(const Skeleton&) = delete;

    // Display-buffer count (cursors per instance) and a second count.
    void Init(uint32 uiCursorCount, uint32 uiSecondCount);

    // Loads an AnimSet file and adds it. Index, or -1 after a report.
    int32 LoadAndStoreMocap(const char* pPath);
    // Adds a mocap (the skeleton takes ownership even on failure: a refused
    // mocap is freed). Index, or -1 when its architecture differs.
    int32 AddMocap(Mocap* pMocap);
    int32 FindMocap(const char* pName) const;
    bool IsMocapUnused(uint32 uiMocapIndex) const;
    void ReleaseMocap(uint32 uiMocapIndex);
    Mocap* GetMocap(uint32 uiMocapIndex) const
    {
        return uiMocapIndex < m_kVecMocap.GetSize() ? m_kVecMocap[uiMocapIndex] : nullptr;
    }
    uint32 GetMocapSlotCount() const { return m_kVecMocap.GetSize(); }
    const Sequence* GetSequence(uint32 uiMocapIndex, uint32 uiSequenceIndex) const
    {
        const Mocap* pMocap = GetMocap(uiMocapIndex);
        return pMocap ? pMocap->GetSequence(uiSequenceIndex) : nullptr;
    }

    // At uiIndex (growing the array), or at the first free index with
    // kInvalidIndex. Null after a report when Init was not called or the
    // index is taken.
    AnimatedSkeleton* CreateAnimatedSkeleton(uint32 uiIndex = kInvalidIndex);
    void DestroyAnimatedSkeleton(uint32 uiIndex);
    AnimatedSkeleton* GetAnimatedSkeleton(uint32 uiIndex) const
    {
        return uiIndex < m_kVecAnimatedSkeleton.GetSize() ? m_kVecAnimatedSkeleton[uiIndex] : nullptr;
    }
    // The same, reporting an index beyond the array.
    AnimatedSkeleton* GetAnimatedSkeletonChecked(uint32 uiIndex) const;
    uint32 GetAnimatedSkeletonSlotCount() const { return m_kVecAnimatedSkeleton.GetSize(); }

    // A new control of a sequence on an instance; null when the skeleton
    // has no mocap yet, or the instance or sequence does not exist.
    AnimationControl* CreateAnimatedControl(uint32 uiInstance, uint32 uiMocapIndex, uint32 uiSequenceIndex);
    bool RemoveAnimationControl(uint32 uiControlId);
    // Removes the controls flagged to go once faded out whose weight reached
    // zero: of every instance, or of one.
    void RemoveFadedControls();
    void RemoveFadedControls(uint32 uiInstance);
    AnimationControl* GetControl(uint32 uiControlId) const
    {
        return uiControlId < m_uiControlSlots.load(std::memory_order_acquire) ? m_kControls.GetData()[uiControlId]
                                                                              : nullptr;
    }
    uint32 GetControlSlotCount() const { return m_uiControlSlots.load(std::memory_order_acquire); }

    // Opens a phase in which threads work on distinct instances (see the
    // class comment), with room for uiHeadroom more controls; closes it.
    // Phases nest: the skeleton stays in one until the last is closed.
    void BeginParallelPhase(uint32 uiHeadroom);
    void EndParallelPhase();
    bool IsInParallelPhase() const { return m_uiParallelPhases > 0; }

    // Events. The info is bound to controls created afterwards (of every
    // instance); the instance variant also binds existing controls at once.
    EventInfo* AddEventInfo(uint32 uiMocapIndex, uint32 uiSequenceIndex, uint32 uiFrame, uint64 ui64EventId,
                            bool bOneShot);
    EventInfo* AddEventInfo(uint32 uiInstance, uint32 uiMocapIndex, uint32 uiSequenceIndex, uint32 uiFrame,
                            uint64 ui64EventId, bool bOneShot);
    EventInstance* AddEventInstance(uint32 uiControlId, uint32 uiEventInfoId);
    void RemoveEventInfo(uint32 uiEventInfoId);
    void RemoveEventInstance(uint32 uiEventInstanceId);
    EventInfo* GetEventInfo(uint32 uiId) const
    {
        return uiId < m_kVecEventInfo.GetSize() ? m_kVecEventInfo[uiId] : nullptr;
    }
    EventInstance* GetEventInstance(uint32 uiId) const
    {
        return uiId < m_kVecEventInstance.GetSize() ? m_kVecEventInstance[uiId] : nullptr;
    }
    // Fires the events of the instance's controls that stand on their frame
    // (see the class comment of EventInfo); run at the start and end of every
    // pass of the instance. Costs nothing while the skeleton has no event
    // instance; otherwise it reads every event instance of the skeleton.
    void CheckEvents(uint32 uiInstance);
    bool HasEventInstances() const { return m_uiLiveEventInstances > 0; }
    void SetEventCallback(EventCallback pCallback, void* pUserData)
    {
        m_pEventCallback = pCallback;
        m_pEventUserData = pUserData;
    }

    // One line "(%d)%s %s \n" per control with weight (instance, mocap,
    // sequence). False when a line did not fit or the size is 0.
    bool DumpControls(char* pBuffer, uint32 uiSize) const;

    // LOD of every instance from its camera distance and the four distances.
    void SetLodDistances(float fD0, float fD1, float fD2, float fD3);
    void UpdateLod();

    // Frees every control, instance, event and mocap.
    void Release();

    bool HasMocap() const { return m_bHasMocap; }
    uint32 GetChannelCount() const { return m_uiChannelCount; }
    uint32 GetLevelCount() const { return m_uiLevelCount; }
    uint32 GetAccumChannel(uint32 uiWhich) const { return uiWhich < 3 ? m_auiAccumChannels[uiWhich] : kInvalidIndex; }
    bool HasAccumulationChannels() const
    {
        return m_auiAccumChannels[0] != kInvalidIndex && m_auiAccumChannels[1] != kInvalidIndex &&
               m_auiAccumChannels[2] != kInvalidIndex;
    }
    const TarnRenderer::TArray<uint32>& GetChannelRanges() const { return m_kChannelRanges; }
    const TarnRenderer::TArray<FixedName>& GetChannelNames() const { return m_kChannelNames; }
    uint32 GetCursorCount() const { return m_iNbCursor; }
    FrameProcessor* GetFrameProcessor() const { return m_pFrameProcessor; }

private:
    // Controls live in blocks of consecutive ids (slot = id), so that sweeps
    // over the control table walk memory in order. A block is allocated with
    // its first control and freed with its last one.
    static constexpr uint32 kControlsPerBlock = 64;
    struct SControlBlock
    {
        void* pStorage = nullptr;
        uint32 uiLive = 0;
    };
    // Storage for the control of that id; null when memory is refused.
    void* AcquireControlSlot(uint32 uiControlId);
    void ReleaseControlSlot(uint32 uiControlId);

    void UnbindControlEvents(uint32 uiControlId);
    void BindNewControlEvents(AnimationControl* pControl);

    TarnRenderer::TArray<AnimatedSkeleton*> m_kVecAnimatedSkeleton;
    TarnRenderer::TArray<AnimationControl*> m_kControls;
    // m_kControls' size, read without the lock by GetControl.
    std::atomic<uint32> m_uiControlSlots{0};
    // Taken by control and event creation and removal (recursive: creating a
    // control binds its events).
    std::recursive_mutex m_kTableLock;
    uint32 m_uiParallelPhases = 0;
    TarnRenderer::TArray<SControlBlock> m_kControlBlocks;
    TarnRenderer::TArray<Mocap*> m_kVecMocap;
    TarnRenderer::TArray<FixedName> m_kChannelNames;
    TarnRenderer::TArray<EventInfo*> m_kVecEventInfo;
    TarnRenderer::TArray<EventInstance*> m_kVecEventInstance;
    TarnRenderer::TArray<uint32> m_kChannelRanges;
    // No free control id lies below it (ids are handed out lowest first).
    uint32 m_uiFirstFreeControl = 0;
    // No free instance slot lies below it.
    uint32 m_uiFirstFreeInstance = 0;
    FrameProcessor* m_pFrameProcessor = nullptr;
    uint32 m_uiChannelCount = 0;
    uint32 m_uiLevelCount = 0;
    uint32 m_auiAccumChannels[3] = {kInvalidIndex, kInvalidIndex, kInvalidIndex};
    uint32 m_iNbCursor = 0;
    uint32 m_uiSecondCount = 0;
    EventCallback m_pEventCallback = nullptr;
    void* m_pEventUserData = nullptr;
    bool m_bHasMocap = false;
    uint32 m_uiNextEventSerial = 1;
    uint32 m_uiLiveEventInstances = 0;
    float m_afLodDistances[4] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()};
};

}  // namespace TarnAnim

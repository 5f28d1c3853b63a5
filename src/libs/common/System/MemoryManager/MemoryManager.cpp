#include "System/MemoryManager/MemoryManager.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "System/MemoryManager/BlockHeader.h"
#include "System/MemoryManager/MemoryTags.h"
#include "System/Posix/PosixTls.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"
#include "Utils/idfromstring.h"

namespace Common::Mem {

namespace {

using Detail::HasSignature;
using Detail::kHeaderSize;
using Detail::kSignature;
using Detail::ReadGuard;

// Realloc keeps 16-byte alignment: header, up to 15 bytes of padding, guard.
constexpr uint32 kReallocOverhead = 4 + 80;

enum ETlsSlot : uint32
{
    kSlotHeapIndex = 0,
    kSlotTagList = 1,
    kSlotSuspended = 2,
};

SAllocInfo* HeaderOf(void* pBlock)
{
    return reinterpret_cast<SAllocInfo*>(static_cast<char*>(pBlock) - kHeaderSize);
}

void WriteGuard(SAllocInfo* pInfo)
{
    const uint32 uiGuard = CMemoryManager::kGuardWord;
    memcpy(static_cast<char*>(pInfo->ptr) + pInfo->size, &uiGuard, sizeof(uiGuard));
}

uint32 PackLocation(int iLine, int32 iHeapIndex, bool bTracked)
{
    return (static_cast<uint32>(iLine) & 0x00FFFFFFu) | ((static_cast<uint32>(iHeapIndex) & 0x7Fu) << 24) |
           (bTracked ? 0x80000000u : 0u);
}

// Suspends tag tracking on the calling thread for a scope.
class CSuspendTracking
{
public:
    explicit CSuspendTracking(CMemoryManager* pManager)
        : m_pManager(pManager), m_bWasActive(pManager->IsTrackingActive())
    {
        m_pManager->SuspendTracking();
    }
    ~CSuspendTracking()
    {
        if (m_bWasActive)
            m_pManager->ResumeTracking();
    }

private:
    CMemoryManager* m_pManager;
    bool m_bWasActive;
};

}  // namespace

// ---------------------------------------------------------------------------
// Instance

std::atomic<CMemoryManager*> CMemoryManager::s_pInstance{nullptr};
std::atomic<bool> CMemoryManager::s_bOwnedInstance{false};

namespace {
std::atomic<bool> s_bInstanceDestroyed{false};
}

CMemoryManager* CMemoryManager::CreateInstance()
{
    // After the final shutdown nothing may allocate again: a block of a new
    // instance could never be told apart from a released one.
    if (s_bInstanceDestroyed.load(std::memory_order_acquire))
        return nullptr;
    // Heap records are cache-line aligned: so must the instance be.
    constexpr size_t uiAlign = alignof(CMemoryManager);
    void* pMemory = aligned_alloc(uiAlign, (sizeof(CMemoryManager) + uiAlign - 1) / uiAlign * uiAlign);
    if (!pMemory)
        return nullptr;
    auto* pCreated = new (pMemory) CMemoryManager();
    CMemoryManager* pExpected = nullptr;
    if (s_pInstance.compare_exchange_strong(pExpected, pCreated, std::memory_order_acq_rel))
    {
        s_bOwnedInstance.store(true, std::memory_order_release);
        return pCreated;
    }
    pCreated->~CMemoryManager();
    free(pMemory);
    return pExpected;
}

void CMemoryManager::SetInstance(CMemoryManager* pInstance)
{
    s_bOwnedInstance.store(false, std::memory_order_release);
    s_pInstance.store(pInstance, std::memory_order_release);
}

uint32 CMemoryManager::DestroyInstance()
{
    s_bInstanceDestroyed.store(true, std::memory_order_release);
    CMemoryManager* pInstance = s_pInstance.exchange(nullptr, std::memory_order_acq_rel);
    if (!pInstance || !s_bOwnedInstance.exchange(false, std::memory_order_acq_rel))
        return 0;
    pInstance->Shutdown();
    const uint32 uiLeaks = pInstance->m_uiLeaksAtShutdown;
    pInstance->~CMemoryManager();
    free(pInstance);
    return uiLeaks;
}

CMemoryManager::CMemoryManager()
{
    m_auiTlsSlots[kSlotHeapIndex] = Posix::TlsAlloc();
    m_auiTlsSlots[kSlotTagList] = Posix::TlsAlloc(&CMemoryManager::ReleaseThreadTagList);
    m_auiTlsSlots[kSlotSuspended] = Posix::TlsAlloc();
    for (uint32 uiSlot : m_auiTlsSlots)
    {
        if (uiSlot == Posix::kTlsOutOfIndexes)
        {
            CDebugLog::Print("TlsAlloc failed");
            break;
        }
    }
    for (uint32 i = 0; i < MAX_TAG_LISTS; ++i)
        m_kTagLists[i].pOwner = this;

    m_kHeaps[0].iIndex = 0;
    m_kHeaps[0].hHeap = Posix::GetProcessHeap();
    m_iNumHeaps.store(1, std::memory_order_release);

    // Like the manager itself, the accounting object lives in memory taken
    // directly from the process heap; only its entries come from the manager.
    void* pBlock = malloc(sizeof(CTagAccounting));
    m_pAccounting = pBlock ? new (pBlock) CTagAccounting(this) : nullptr;
}

CMemoryManager::~CMemoryManager()
{
    if (!m_bShutDown)
        Shutdown();
    for (uint32 uiSlot : m_auiTlsSlots)
        Posix::TlsFree(uiSlot);
}

// ---------------------------------------------------------------------------
// Allocation

inline SHeapInfo* CMemoryManager::SelectHeap(SHeapInfo* _pHeap)
{
    if (_pHeap)
        return _pHeap;
    const auto uiIndex =
        static_cast<uint32>(reinterpret_cast<uintptr_t>(Posix::TlsGetValue(m_auiTlsSlots[kSlotHeapIndex])));
    return &m_kHeaps[uiIndex < MAX_HEAPS ? uiIndex : 0];
}

inline void CMemoryManager::LinkBlock(SHeapInfo* pHeap, SAllocInfo* pInfo)
{
    pInfo->prev = nullptr;
    pInfo->next = pHeap->pFirst;
    if (pHeap->pFirst)
        pHeap->pFirst->prev = pInfo;
    pHeap->pFirst = pInfo;
    memcpy(pInfo->signature, kSignature, sizeof(kSignature));
    ++pHeap->uiNumAllocs;
    pHeap->ui64Allocated += pInfo->size;
    if (pHeap->ui64Allocated > pHeap->ui64Peak)
        pHeap->ui64Peak = pHeap->ui64Allocated;
}

inline void CMemoryManager::UnlinkBlock(SHeapInfo* pHeap, SAllocInfo* pInfo)
{
    if (pInfo->prev)
        pInfo->prev->next = pInfo->next;
    else
        pHeap->pFirst = pInfo->next;
    if (pInfo->next)
        pInfo->next->prev = pInfo->prev;
    pInfo->prev = pInfo->next = nullptr;
    pInfo->signature[0] = '0';
    --pHeap->uiNumAllocs;
    pHeap->ui64Allocated -= pInfo->size;
}

void* CMemoryManager::Alloc(size_t uiSize, uint32 uiAlignment, const char* pFile, int iLine, SHeapInfo* _pHeap)
{
    if (uiAlignment == 0)
        uiAlignment = 1;
    if (!TARN_ASSERT_TEXT(uiAlignment <= kMaxAlignment, "alignementbytes<=268435456",
                          "Alignment of %u bytes is larger than the manager supports", uiAlignment))
        return nullptr;
    if (!TARN_ASSERT_TEXT((uiAlignment & (uiAlignment - 1)) == 0, "(alignementbytes & (alignementbytes - 1)) == 0",
                          "Alignment of %u bytes is not a power of two", uiAlignment))
        return nullptr;
    const uint32 uiBits = static_cast<uint32>(std::countr_zero(uiAlignment));
    if (!TARN_ASSERT_TEXT(uiBits <= 28, "alignementbitoffset<=28", "Alignment of %u bytes is too large", uiAlignment))
        return nullptr;
    if (!TARN_ASSERT_TEXT(uiSize <= kMaxBlockSize, "size<=kMaxBlockSize",
                          "Alloc of %zu bytes is larger than a block can record", uiSize))
    {
        SetLastError(kErrNotEnoughMemory);
        return nullptr;
    }
    const uintptr_t uiAlign = uintptr_t(1) << uiBits;

    // Tag of the block: the thread's current path while tracking is active.
    // Most threads have no tag list: the suspension is looked at only when
    // there is a path to use.
    uint32 uiTag = 0;
    const auto* pEntry = static_cast<const SThreadTagList*>(Posix::TlsGetValue(m_auiTlsSlots[kSlotTagList]));
    if (pEntry && pEntry->kList.uiCount > 0 && !Posix::TlsGetValue(m_auiTlsSlots[kSlotSuspended]))
        uiTag = pEntry->kList.uiId;
    const bool bTracked = uiTag != 0 && m_pAccounting;

    SHeapInfo* pHeapInfo = SelectHeap(_pHeap);
    pHeapInfo->kLock.Lock();
    if (!TARN_ASSERT((uint32)pHeapInfo->iIndex < m_iNumHeaps, "Heap %d is not a heap of this manager",
                     pHeapInfo->iIndex))
    {
        pHeapInfo->kLock.Unlock();
        return nullptr;
    }

    void* pRaw = Posix::HeapAlloc(pHeapInfo->hHeap, 4 + uiSize + uiAlign + kHeaderSize);
    if (!pRaw)
    {
        // Report outside the lock: the listing takes every heap's lock.
        pHeapInfo->kLock.Unlock();
        SetLastError(kErrNotEnoughMemory);
        DisplayLargeAllocsOfAllHeaps();
        TARN_ASSERT(0, "Alloc of %i bytes failed : not enough memory ?", static_cast<int>(uiSize));
        return nullptr;
    }

    void* pUser =
        reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(pRaw) + uiAlign + kHeaderSize - 1) & ~(uiAlign - 1));
    SAllocInfo* pInfo = HeaderOf(pUser);
    pInfo->size = static_cast<uint32>(uiSize);
    pInfo->tag = uiTag;
    pInfo->ptr = pUser;
    pInfo->rawptr = pRaw;
    pInfo->file = pFile;
    pInfo->packed = PackLocation(iLine, pHeapInfo->iIndex, bTracked);
    pInfo->reserved = 0;
    WriteGuard(pInfo);
    LinkBlock(pHeapInfo, pInfo);
    pHeapInfo->kLock.Unlock();

    if (bTracked)
    {
        CSuspendTracking kSuspend(this);
        m_pAccounting->Add(uiTag, static_cast<int64>(uiSize));
    }

    TARN_ASSERT_TEXT(reinterpret_cast<uintptr_t>(pUser) % 16 == 0, "(uintptr_t)ptr % 16 == 0", "Bad alignement");
    return pUser;
}

int32 CMemoryManager::Free(void* pBlock, SHeapInfo* _pHeap)
{
    if (!pBlock)
    {
        SetLastError(kErrNone);
        return kErrNone;
    }
    SAllocInfo* pAllocInfo = HeaderOf(pBlock);
    if (!HasSignature(pAllocInfo))
    {
        if (_pHeap && _pHeap->hHeap)
        {
            Posix::HeapFree(_pHeap->hHeap, pBlock);
            SetLastError(kErrNone);
            return kErrNone;
        }
        SetLastError(kErrInvalidPointer);
        TARN_ASSERT(_pHeap, "Memory not-allocated with MemoryManager. This should not happen.");
        return kErrInvalidPointer;
    }

    const int32 iHeapIndex = pAllocInfo->GetHeapIndex();
    if (iHeapIndex < 0 || static_cast<uint32>(iHeapIndex) >= m_iNumHeaps.load(std::memory_order_acquire) ||
        !m_kHeaps[iHeapIndex].hHeap)
    {
        SetLastError(kErrHeapHasNoHandle);
        return kErrHeapHasNoHandle;
    }
    SHeapInfo* pHeapInfo = &m_kHeaps[iHeapIndex];
    pHeapInfo->kLock.Lock();
    // Checked again under the lock: two threads freeing one block at once
    // must not both unlink it.
    const bool bStillLive = HasSignature(pAllocInfo);
    void* ptr = pBlock;
    if (!bStillLive ||
        !TARN_ASSERT_TEXT(ptr == pAllocInfo->ptr, "ptr == pAllocList->sAllocInfo.ptr", "Internal memroy manager error"))
    {
        pHeapInfo->kLock.Unlock();
        TARN_ASSERT(false, "Internal memroy manager error");
        SetLastError(kErrInvalidPointer);
        return kErrInvalidPointer;
    }
    if (ReadGuard(pAllocInfo) != kGuardWord)
        TARN_ASSERT(false, "BUFFER_OVERRUN");

    const uint32 uiSize = pAllocInfo->size;
    const uint32 uiTag = pAllocInfo->tag;
    const bool bTracked = pAllocInfo->IsTracked();
    UnlinkBlock(pHeapInfo, pAllocInfo);
    Posix::HeapFree(pHeapInfo->hHeap, pAllocInfo->rawptr);
    pHeapInfo->kLock.Unlock();

    if (bTracked && m_pAccounting)
    {
        CSuspendTracking kSuspend(this);
        m_pAccounting->Add(uiTag, -static_cast<int64>(uiSize));
    }
    SetLastError(kErrNone);
    return kErrNone;
}

void* CMemoryManager::Realloc(void* pBlock, size_t uiSize, const char* pFile, int iLine, SHeapInfo* _pHeap)
{
    if (!pBlock)
        return Alloc(uiSize, 16, pFile, iLine, _pHeap);
    SAllocInfo* pAllocList = HeaderOf(pBlock);
    if (!HasSignature(pAllocList))
        return pBlock;
    if (!TARN_ASSERT_TEXT(uiSize <= kMaxBlockSize, "size<=kMaxBlockSize",
                          "Realloc of %zu bytes is larger than a block can record", uiSize))
        return nullptr;

    SHeapInfo* pHeapInfo = SelectHeap(_pHeap);
    const uint32 indexheap = static_cast<uint32>(pHeapInfo->iIndex);
    const int32 iBlockHeap = pAllocList->GetHeapIndex();
    if (!TARN_ASSERT_TEXT((uint32)iBlockHeap < m_iNumHeaps, "(uint32)pAllocList->sAllocInfo.heap_index < m_iNumHeaps",
                          "Fucked heap index %i", iBlockHeap))
        return nullptr;
    if (!TARN_ASSERT_TEXT(m_kHeaps[iBlockHeap].iIndex == pHeapInfo->iIndex,
                          "m_kHeaps[pAllocList->sAllocInfo.heap_index].iIndex == pHeapInfo->iIndex",
                          "memory wasn't allocated with this heap"))
        return nullptr;
    if (!TARN_ASSERT_TEXT(indexheap == (uint32)iBlockHeap, "indexheap == (uint32)pAllocList->sAllocInfo.heap_index",
                          "Realloc must be on the same thread as malloc call"))
        return nullptr;

    pHeapInfo->kLock.Lock();
    void* ptr = pBlock;
    if (!HasSignature(pAllocList) ||
        !TARN_ASSERT_TEXT(ptr == pAllocList->ptr, "ptr == pAllocList->sAllocInfo.ptr", "Internal memroy manager error"))
    {
        pHeapInfo->kLock.Unlock();
        TARN_ASSERT(false, "Internal memroy manager error");
        return nullptr;
    }
    if (ReadGuard(pAllocList) != kGuardWord)
        TARN_ASSERT(false, "BUFFER_OVERRUN");

    // Everything the header says is read before the raw block moves.
    const SAllocInfo kOld = *pAllocList;
    const uintptr_t uiOldOffset = reinterpret_cast<uintptr_t>(kOld.ptr) - reinterpret_cast<uintptr_t>(kOld.rawptr);
    UnlinkBlock(pHeapInfo, pAllocList);

    // A block made with a larger alignment keeps its data further into the
    // raw block than a 16-aligned one: never cut the raw block shorter than
    // the data that still has to be moved down.
    const size_t uiKept = kOld.size < uiSize ? kOld.size : uiSize;
    size_t uiRawSize = uiSize + kReallocOverhead;
    if (uiOldOffset + uiKept > uiRawSize)
        uiRawSize = uiOldOffset + uiKept;
    void* pRaw = Posix::HeapReAlloc(pHeapInfo->hHeap, kOld.rawptr, uiRawSize);
    if (!pRaw)
    {
        // The old block is still allocated and still the caller's: list it
        // again so that it can be freed later.
        pAllocList->prev = pAllocList->next = nullptr;
        LinkBlock(pHeapInfo, pAllocList);
        pHeapInfo->kLock.Unlock();
        DisplayLargeAllocsOfAllHeaps();
        TARN_ASSERT(0, "plus de ram!!!");
        return nullptr;
    }

    void* pUser = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(pRaw) + 79) & ~uintptr_t(15));
    const uintptr_t uiNewOffset = reinterpret_cast<uintptr_t>(pUser) - reinterpret_cast<uintptr_t>(pRaw);
    if (uiNewOffset != uiOldOffset)
        memmove(pUser, static_cast<char*>(pRaw) + uiOldOffset, uiKept);

    SAllocInfo* pInfo = HeaderOf(pUser);
    pInfo->size = static_cast<uint32>(uiSize);
    pInfo->tag = kOld.tag;
    pInfo->ptr = pUser;
    pInfo->rawptr = pRaw;
    pInfo->file = pFile;
    pInfo->packed = PackLocation(iLine, pHeapInfo->iIndex, kOld.IsTracked());
    pInfo->reserved = 0;
    WriteGuard(pInfo);
    LinkBlock(pHeapInfo, pInfo);
    pHeapInfo->kLock.Unlock();

    if (kOld.IsTracked() && m_pAccounting)
    {
        CSuspendTracking kSuspend(this);
        m_pAccounting->Add(kOld.tag, static_cast<int64>(uiSize) - static_cast<int64>(kOld.size));
    }
    return pUser;
}

const char* CMemoryManager::GetErrorText(int32 iError)
{
    switch (iError)
    {
        case kErrNone:
            return "No error";
        case kErrCannotAllocMainMemory:
            return "Cannot alloc main memory";
        case kErrNotEnoughMemory:
            return "Not enough memory";
        case kErrInvalidPointer:
            return "Invalid pointer";
        case kErrHeapHasNoHandle:
            return "Heap has no handle";
        default:
            return "Undefined error";
    }
}

// ---------------------------------------------------------------------------
// Heaps

SHeapInfo* CMemoryManager::CreateThreadHeap()
{
    SHeapInfo* pExisting = GetThreadHeap();
    if (pExisting->iIndex != 0)
        return pExisting;

    m_kHeapCreationLock.Lock();
    const uint32 uiCount = m_iNumHeaps.load(std::memory_order_acquire);
    if (!TARN_ASSERT(uiCount < MAX_HEAPS, "No heap left for this thread: %u heaps exist already", uiCount))
    {
        m_kHeapCreationLock.Unlock();
        return nullptr;
    }
    Posix::HeapHandle hHeap = Posix::HeapCreate();
    if (!TARN_ASSERT(hHeap, "The system refused a new heap"))
    {
        m_kHeapCreationLock.Unlock();
        return nullptr;
    }
    SHeapInfo* pHeap = &m_kHeaps[uiCount];
    pHeap->iIndex = static_cast<int32>(uiCount);
    pHeap->hHeap = hHeap;
    pHeap->pFirst = nullptr;
    pHeap->uiNumAllocs = 0;
    pHeap->ui64Allocated = pHeap->ui64Peak = 0;
    m_iNumHeaps.store(uiCount + 1, std::memory_order_release);
    m_kHeapCreationLock.Unlock();

    Posix::TlsSetValue(m_auiTlsSlots[kSlotHeapIndex], reinterpret_cast<void*>(static_cast<uintptr_t>(uiCount)));
    return pHeap;
}

SHeapInfo* CMemoryManager::GetThreadHeap()
{
    return SelectHeap(nullptr);
}

// ---------------------------------------------------------------------------
// Tags

void CMemoryManager::SuspendTracking()
{
    Posix::TlsSetValue(m_auiTlsSlots[kSlotSuspended], reinterpret_cast<void*>(intptr_t(-1)));
}

void CMemoryManager::ResumeTracking()
{
    Posix::TlsSetValue(m_auiTlsSlots[kSlotSuspended], nullptr);
}

bool CMemoryManager::IsTrackingActive()
{
    return Posix::TlsGetValue(m_auiTlsSlots[kSlotSuspended]) == nullptr;
}

STagList* CMemoryManager::GetThreadTagList(bool bCreate)
{
    auto* pEntry = static_cast<SThreadTagList*>(Posix::TlsGetValue(m_auiTlsSlots[kSlotTagList]));
    if (pEntry || !bCreate)
        return pEntry ? &pEntry->kList : nullptr;

    // A thread refused a list once is not asked about again: its
    // allocations stay untagged, and the refusal is reported only once.
    thread_local bool tl_bRefused = false;
    if (tl_bRefused)
        return nullptr;
    m_kTagListLock.Lock();
    if (!TARN_ASSERT_TEXT(m_iNumTagLists < MAX_TAG_LISTS, "m_iNumTagLists<MAX_TAG_LISTS",
                          "Limit of thread reached for MmeoryManager Tag identification. Increase MAX_HEAPS define"))
    {
        m_kTagListLock.Unlock();
        tl_bRefused = true;
        return nullptr;
    }
    for (uint32 i = 0; i < MAX_TAG_LISTS; ++i)
    {
        if (!m_kTagLists[i].bInUse)
        {
            pEntry = &m_kTagLists[i];
            pEntry->bInUse = true;
            pEntry->kList = STagList();
            ++m_iNumTagLists;
            break;
        }
    }
    m_kTagListLock.Unlock();
    Posix::TlsSetValue(m_auiTlsSlots[kSlotTagList], pEntry);
    return pEntry ? &pEntry->kList : nullptr;
}

// Runs at the exit of a thread that used tags: its list goes back to the
// pool, so threads that come and go never use the pool up.
void CMemoryManager::ReleaseThreadTagList(void* pList)
{
    auto* pEntry = static_cast<SThreadTagList*>(pList);
    CMemoryManager* pOwner = pEntry->pOwner;
    pOwner->m_kTagListLock.Lock();
    if (pEntry->bInUse)
    {
        pEntry->bInUse = false;
        --pOwner->m_iNumTagLists;
    }
    pOwner->m_kTagListLock.Unlock();
}

uint32 CMemoryManager::RegisterTagList(const uint32* pTags, uint32 uiCount)
{
    if (!m_pAccounting)
        return 0;
    CSuspendTracking kSuspend(this);
    return m_pAccounting->Register(pTags, uiCount);
}

bool CMemoryManager::PushTagList(uint32 uiListId)
{
    if (!m_pAccounting)
        return false;
    STagList* pList = GetThreadTagList(true);
    if (!pList)
        return false;
    CSuspendTracking kSuspend(this);
    return m_pAccounting->CopyList(uiListId, *pList);
}

uint32 CMemoryManager::PushTag(const char* pName)
{
    if (!m_pAccounting)
        return 0;
    STagList* pList = GetThreadTagList(true);
    if (!pList)
        return 0;
    if (!TARN_ASSERT(pList->uiCount < STagList::MaxDepth, "Memory tags are nested deeper than %u levels",
                     STagList::MaxDepth))
        return 0;

    // The id of a level is the name's identifier seeded with its parent's id,
    // so equal names under different parents stay apart.
    uint32 uiId = GenerateUIntIdFromString(pName ? pName : "", nullptr, pList->uiId);
    if (uiId == 0)
        uiId = 1;
    uint32 auiPath[STagList::MaxDepth];
    memcpy(auiPath, pList->auiTags, pList->uiCount * sizeof(uint32));
    auiPath[pList->uiCount] = uiId;
    CSuspendTracking kSuspend(this);
    if (m_pAccounting->Register(auiPath, pList->uiCount + 1) == 0)
        return 0;
    pList->auiTags[pList->uiCount++] = uiId;
    pList->uiId = uiId;
    return uiId;
}

void CMemoryManager::PopTag()
{
    STagList* pList = GetThreadTagList(false);
    if (!pList || pList->uiCount == 0)
        return;
    --pList->uiCount;
    pList->uiId = pList->uiCount ? pList->auiTags[pList->uiCount - 1] : 0;
}

void CMemoryManager::PopAllTags()
{
    STagList* pList = GetThreadTagList(false);
    if (pList)
        pList->uiCount = pList->uiId = 0;
}

uint32 CMemoryManager::GetCurrentTagId()
{
    STagList* pList = GetThreadTagList(false);
    return pList ? pList->uiId : 0;
}

uint32 CMemoryManager::GetTagDepth()
{
    STagList* pList = GetThreadTagList(false);
    return pList ? pList->uiCount : 0;
}

uint64 CMemoryManager::GetTagBytes(uint32 uiListId)
{
    if (!m_pAccounting)
        return 0;
    CSuspendTracking kSuspend(this);
    return m_pAccounting->GetBytes(uiListId);
}

// ---------------------------------------------------------------------------
// Counts (the reports that print are in MemoryReports.cpp)

uint32 CMemoryManager::GetNumAllocations()
{
    uint32 uiTotal = 0;
    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    for (uint32 i = 0; i < uiHeaps; ++i)
    {
        m_kHeaps[i].kLock.Lock();
        uiTotal += m_kHeaps[i].uiNumAllocs;
        m_kHeaps[i].kLock.Unlock();
    }
    return uiTotal;
}

uint64 CMemoryManager::GetAllocatedBytes()
{
    uint64 ui64Total = 0;
    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    for (uint32 i = 0; i < uiHeaps; ++i)
    {
        m_kHeaps[i].kLock.Lock();
        ui64Total += m_kHeaps[i].ui64Allocated;
        m_kHeaps[i].kLock.Unlock();
    }
    return ui64Total;
}

// ---------------------------------------------------------------------------
// Shutdown

void CMemoryManager::Shutdown()
{
    if (m_bShutDown)
        return;
    SuspendTracking();
    // The bookkeeping goes first, so that the leak report counts only what
    // the rest of the program left behind.
    if (m_pAccounting)
    {
        CTagAccounting* pAccounting = m_pAccounting;
        m_pAccounting = nullptr;
        pAccounting->~CTagAccounting();
        free(pAccounting);
    }
    {
        // The closing report goes to standard error in every program: their
        // standard output holds what they produce (replies, a ready line).
        CDebugLog::CStandardErrorScope kToStandardError;
        m_uiLeaksAtShutdown = ReportLeaks();
        CheckBufferOverrun();
    }

    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    for (uint32 uiHeap = 0; uiHeap < uiHeaps; ++uiHeap)
    {
        SHeapInfo* pHeap = &m_kHeaps[uiHeap];
        pHeap->kLock.Lock();
        while (SAllocInfo* pInfo = pHeap->pFirst)
        {
            void* pRaw = pInfo->rawptr;
            UnlinkBlock(pHeap, pInfo);
            Posix::HeapFree(pHeap->hHeap, pRaw);
        }
        pHeap->kLock.Unlock();
        if (uiHeap != 0)
        {
            Posix::HeapDestroy(pHeap->hHeap);
            pHeap->hHeap = nullptr;
        }
    }
    ResumeTracking();
    m_bShutDown = true;
}

}  // namespace Common::Mem

#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "Core/Types.h"
#include "System/MemoryManager/HeapLock.h"
#include "System/Posix/PosixHeap.h"

namespace Common::Mem {

class CTagAccounting;

// Error codes kept in the manager's last-error field.
enum EMemError : int32
{
    kErrNone = 0,
    kErrCannotAllocMainMemory = 1,
    kErrNotEnoughMemory = 2,
    kErrInvalidPointer = 3,
    kErrHeapHasNoHandle = 4,
};

// The 64 bytes that precede every block handed out by the manager.
struct SAllocInfo
{
    uint32 size;       // requested size in bytes
    uint32 tag;        // tag-list id at allocation time, 0 for none
    void* ptr;         // the user pointer (just after this header)
    void* rawptr;      // what the operating-system heap returned
    const char* file;  // the caller's constant file name
    uint32 packed;     // bits 0-23 line, 24-30 heap index, 31 tracked
    uint32 reserved;
    SAllocInfo* prev;  // heap list, newest first
    SAllocInfo* next;
    char signature[8];  // "COMMMEMM"; first byte becomes '0' once freed

    uint32 GetLine() const { return packed & 0x00FFFFFFu; }
    // The heap index is stored as a signed 7-bit number.
    int32 GetHeapIndex() const
    {
        return static_cast<int32>(static_cast<int8>(static_cast<uint8>((packed >> 24) & 0x7Fu) << 1) >> 1);
    }
    bool IsTracked() const { return (packed & 0x80000000u) != 0; }
};
static_assert(sizeof(SAllocInfo) == 64, "block header must be 64 bytes");

// One heap record: its operating-system heap and the list of live blocks.
// Records of different threads' heaps sit on cache lines of their own.
struct alignas(64) SHeapInfo
{
    int32 iIndex = -1;
    Posix::HeapHandle hHeap = nullptr;
    SAllocInfo* pFirst = nullptr;
    uint32 uiNumAllocs = 0;
    uint64 ui64Allocated = 0;
    uint64 ui64Peak = 0;
    CHeapLock kLock;
};

// A path of memory tags, outermost first. Each entry is the id of the path
// up to and including that level, so the list's id is its last entry.
struct STagList
{
    static constexpr uint32 MaxDepth = 128;
    uint32 uiCount = 0;
    uint32 uiId = 0;
    uint32 auiTags[MaxDepth] = {};
};

// The process-wide allocator of the engine and its plug-ins.
//
// Every block carries a 64-byte header (who allocated it, its size, its tag)
// and is followed by a guard word; each heap keeps a list of its live blocks
// under its own lock, with counts and peaks, so that reports can list them and
// the leak report at shutdown can count them. Threads allocate from their own
// heap (heap 0, the process heap, unless they created one); a block may be
// freed on any thread but reallocated only on the thread that allocated it.
//
// Memory tags attribute bytes to a path of names pushed per thread. The tag
// registry and the accounting allocate through the manager with tracking
// suspended, so they never count themselves.
//
// Ownership: the instance lives in memory taken directly from the process
// heap. GetInstance creates it on first use; DestroyInstance shuts down and
// frees the instance it created. A plug-in module binds its copy to the
// host's instance with SetInstance and never destroys it.
class CMemoryManager
{
public:
    static constexpr uint32 MAX_HEAPS = 16;
    // Enough for the network endpoint's connection threads (64 at most)
    // beside the engine's own threads, so that tagged allocations made while
    // requests are served never run out of lists.
    static constexpr uint32 MAX_TAG_LISTS = 128;
    static constexpr uint32 kGuardWord = 0x12345678u;
    static constexpr uint32 kMaxAlignment = 268435456u;
    // Largest request whose size, header, alignment and guard fit the
    // header's 32-bit size field.
    static constexpr uint64 kMaxBlockSize = 0xFFFFFFFFull - 4096ull;

    // The global instance, created on first use. Null only if the process
    // heap refused the memory for it.
    static CMemoryManager* GetInstance()
    {
        CMemoryManager* pInstance = s_pInstance.load(std::memory_order_acquire);
        return pInstance ? pInstance : CreateInstance();
    }
    // The global instance if there is one; never creates it.
    static CMemoryManager* PeekInstance() { return s_pInstance.load(std::memory_order_acquire); }
    // Binds this module to another module's live instance.
    static void SetInstance(CMemoryManager* pInstance);
    // Shuts down and frees the instance that GetInstance created (an instance
    // bound with SetInstance is only let go). The closing report (leaks and
    // buffer overruns) goes through the debug log to standard error. Returns
    // the number of blocks that leaked. Nothing allocated by the manager may
    // be used afterwards.
    static uint32 DestroyInstance();

    CMemoryManager();
    ~CMemoryManager();
    CMemoryManager(const CMemoryManager&) = delete;
    CMemoryManager& operator=(const CMemoryManager&) = delete;

    // Allocates uiSize bytes aligned to uiAlignment (a power of two up to
    // kMaxAlignment) from _pHeap, or the calling thread's heap when null.
    // Fails with a report and null for a bad alignment, a size above
    // kMaxBlockSize, or when the heap has no memory left.
    void* Alloc(size_t uiSize, uint32 uiAlignment, const char* pFile, int iLine, SHeapInfo* _pHeap = nullptr);

    // Resizes a block (16-byte alignment), keeping its contents. A null
    // pointer allocates; a pointer the manager did not make is returned as
    // it is. Fails with a report and null (the old block stays valid and
    // listed) when the block was made on another thread's heap or memory is
    // short.
    void* Realloc(void* pBlock, size_t uiSize, const char* pFile, int iLine, SHeapInfo* _pHeap = nullptr);

    // Frees a block. Null is accepted. A pointer that the manager did not make
    // is released with _pHeap's system heap when one is given, else reported
    // and left alone (error 3). An overwritten guard word is reported
    // (BUFFER_OVERRUN) and the block freed all the same. Returns the error.
    int32 Free(void* pBlock, SHeapInfo* _pHeap = nullptr);

    int32 GetLastError() const { return m_iLastError.load(std::memory_order_relaxed); }
    static const char* GetErrorText(int32 iError);

    // Gives the calling thread a heap of its own. Null (with a report) when
    // MAX_HEAPS heaps exist already or the system refuses one.
    SHeapInfo* CreateThreadHeap();
    SHeapInfo* GetThreadHeap();
    uint32 GetNumHeaps() const { return m_iNumHeaps.load(std::memory_order_acquire); }

    // Memory tags. A tag name becomes a level below the calling thread's
    // current path; PushTag returns the id of the new path (0 on failure).
    uint32 PushTag(const char* pName);
    // Registers a path (ids of each level, outermost first) and its prefixes;
    // returns its id (the last entry), 0 for an empty or too deep path.
    uint32 RegisterTagList(const uint32* pTags, uint32 uiCount);
    // Makes the registered path uiListId the calling thread's current path.
    bool PushTagList(uint32 uiListId);
    void PopTag();
    void PopAllTags();
    uint32 GetCurrentTagId();
    uint32 GetTagDepth();
    // Bytes allocated, and not yet freed, while the path uiListId or a path
    // extending it was current.
    uint64 GetTagBytes(uint32 uiListId);

    // Tracking is per thread; while it is suspended, allocations carry no tag.
    void SuspendTracking();
    void ResumeTracking();
    bool IsTrackingActive();

    // Reports, printed through the debug log.
    void DisplayAllocs(uint32 uiThreshold = 0);
    void DisplayAllocsByFile();
    void DisplayFrags();
    uint32 CheckBufferOverrun();
    uint32 ReportLeaks();

    // Live blocks and bytes over all heaps.
    uint32 GetNumAllocations();
    uint64 GetAllocatedBytes();

private:
    friend class CTagAccounting;

    static CMemoryManager* CreateInstance();
    static std::atomic<CMemoryManager*> s_pInstance;
    static std::atomic<bool> s_bOwnedInstance;

    // Writes the error only when it changes: threads freeing concurrently
    // must not bounce the field's cache line on every call.
    void SetLastError(int32 iError)
    {
        if (m_iLastError.load(std::memory_order_relaxed) != iError)
            m_iLastError.store(iError, std::memory_order_relaxed);
    }
    SHeapInfo* SelectHeap(SHeapInfo* _pHeap);
    STagList* GetThreadTagList(bool bCreate);
    static void ReleaseThreadTagList(void* pList);
    void AccountBlock(uint32 uiTag, int64 i64Delta);
    void LinkBlock(SHeapInfo* pHeap, SAllocInfo* pInfo);
    void UnlinkBlock(SHeapInfo* pHeap, SAllocInfo* pInfo);
    void DisplayLargeAllocsOfAllHeaps();
    void DisplayHeapAllocs(SHeapInfo* pHeap, uint32 uiThreshold);
    void Shutdown();

    uint32 m_auiTlsSlots[3];
    std::atomic<int32> m_iLastError{kErrNone};
    SHeapInfo m_kHeaps[MAX_HEAPS];
    std::atomic<uint32> m_iNumHeaps{0};
    CHeapLock m_kHeapCreationLock;

    // Per-thread tag lists, handed out on a thread's first push and given
    // back when the thread ends.
    struct SThreadTagList
    {
        STagList kList;
        CMemoryManager* pOwner = nullptr;
        bool bInUse = false;
    };
    SThreadTagList m_kTagLists[MAX_TAG_LISTS];
    uint32 m_iNumTagLists = 0;
    CHeapLock m_kTagListLock;

    CTagAccounting* m_pAccounting = nullptr;
    uint32 m_uiLeaksAtShutdown = 0;
    bool m_bShutDown = false;
};

// RAII tag level: pushes a named tag for its lifetime.
class CTagScope
{
public:
    explicit CTagScope(const char* pName)
    {
        CMemoryManager* pManager = CMemoryManager::GetInstance();
        m_bPushed = pManager && pManager->PushTag(pName) != 0;
    }
    ~CTagScope()
    {
        CMemoryManager* pManager = m_bPushed ? CMemoryManager::GetInstance() : nullptr;
        if (pManager)
            pManager->PopTag();
    }
    CTagScope(const CTagScope&) = delete;
    CTagScope& operator=(const CTagScope&) = delete;

private:
    bool m_bPushed = false;
};

// Typed allocation forms. Every one passes the caller's file and line.
inline void* Alloc(size_t uiSize, uint32 uiAlignment, const char* pFile, int iLine)
{
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    return pManager ? pManager->Alloc(uiSize, uiAlignment, pFile, iLine) : nullptr;
}

// After the final shutdown there is no manager: a late free (a static
// object destroyed after DestroyInstance) is let go.
inline void Free(void* pBlock)
{
    CMemoryManager* pManager = pBlock ? CMemoryManager::GetInstance() : nullptr;
    if (pManager)
        pManager->Free(pBlock);
}

inline void* Realloc(void* pBlock, size_t uiSize, const char* pFile, int iLine)
{
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    return pManager ? pManager->Realloc(pBlock, uiSize, pFile, iLine) : nullptr;
}

// Constructs a T in a block of the manager; null when the allocation failed.
template <class T, class... Args> T* New(const char* pFile, int iLine, Args&&... kArgs)
{
    constexpr uint32 uiAlignment = alignof(T) > 16 ? static_cast<uint32>(alignof(T)) : 16u;
    void* pBlock = Alloc(sizeof(T), uiAlignment, pFile, iLine);
    return pBlock ? ::new (pBlock) T(std::forward<Args>(kArgs)...) : nullptr;
}

// The same, with the allocation accounted to the named tag.
template <class T, class... Args> T* NewTagged(const char* pTag, const char* pFile, int iLine, Args&&... kArgs)
{
    CTagScope kScope(pTag);
    return New<T>(pFile, iLine, std::forward<Args>(kArgs)...);
}

// Destroys an object made by New and frees its block. A polymorphic object
// may be deleted through any of its bases.
template <class T> void Delete(T* pObject)
{
    if (!pObject)
        return;
    void* pBlock;
    if constexpr (std::is_polymorphic_v<T>)
        pBlock = dynamic_cast<void*>(pObject);
    else
        pBlock = static_cast<void*>(const_cast<std::remove_cv_t<T>*>(pObject));
    pObject->~T();
    Free(pBlock);
}

}  // namespace Common::Mem

#define TARN_ALLOC(size) ::Common::Mem::Alloc((size), 16, __FILE__, __LINE__)
#define TARN_ALLOC_ALIGNED(size, alignment) ::Common::Mem::Alloc((size), (alignment), __FILE__, __LINE__)
#define TARN_REALLOC(block, size) ::Common::Mem::Realloc((block), (size), __FILE__, __LINE__)
#define TARN_FREE(block) ::Common::Mem::Free(block)
#define TARN_NEW(T, ...) ::Common::Mem::New<T>(__FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TARN_NEW_TAGGED(tag, T, ...) ::Common::Mem::NewTagged<T>((tag), __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TARN_DELETE(object) ::Common::Mem::Delete(object)

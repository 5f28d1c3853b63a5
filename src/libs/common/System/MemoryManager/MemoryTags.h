#pragma once

#include <map>
#include <mutex>

#include "System/MemoryManager/MemoryManager.h"

namespace Common::Mem {

// std allocator that takes its blocks from the memory manager. Used by the
// manager's own bookkeeping, whose callers suspend tag tracking around it.
template <class T> class TManagerAllocator
{
public:
    using value_type = T;

    explicit TManagerAllocator(CMemoryManager* pManager) : m_pManager(pManager) {}
    template <class U> TManagerAllocator(const TManagerAllocator<U>& kOther) : m_pManager(kOther.m_pManager) {}

    T* allocate(size_t uiCount)
    {
        void* pBlock = m_pManager->Alloc(uiCount * sizeof(T), alignof(T) > 16 ? alignof(T) : 16, __FILE__, __LINE__);
        if (!pBlock)
            throw std::bad_alloc();  // stays inside the manager: std::map needs it
        return static_cast<T*>(pBlock);
    }
    void deallocate(T* pBlock, size_t) { m_pManager->Free(pBlock); }

    template <class U> bool operator==(const TManagerAllocator<U>& kOther) const
    {
        return m_pManager == kOther.m_pManager;
    }

    CMemoryManager* m_pManager;
};

// Registry of tag paths and the byte totals per tag.
//
// A registered path is kept for the manager's lifetime (blocks freed on other
// threads look their tag up here). The total of a tag id is the number of
// bytes allocated, and not yet freed, while a path containing that level was
// current; a total that falls back to zero is erased, so an idle accounting
// holds no memory. All members are guarded by one lock; callers suspend tag
// tracking on their thread before calling in.
class CTagAccounting
{
public:
    explicit CTagAccounting(CMemoryManager* pManager);
    ~CTagAccounting();

    // Registers the path and every shorter prefix; returns its id.
    uint32 Register(const uint32* pTags, uint32 uiCount);
    // Copies the registered path uiId into kOut. False when unknown.
    bool CopyList(uint32 uiId, STagList& kOut);
    // Adds i64Delta to every level of the registered path uiId.
    void Add(uint32 uiId, int64 i64Delta);
    uint64 GetBytes(uint32 uiId);
    // Frees every registered path.
    void ReleaseRegistry();

private:
    using Registry =
        std::map<uint32, STagList*, std::less<uint32>, TManagerAllocator<std::pair<const uint32, STagList*>>>;
    using Totals = std::map<uint32, int64, std::less<uint32>, TManagerAllocator<std::pair<const uint32, int64>>>;

    CMemoryManager* m_pManager;
    std::mutex m_kLock;
    Registry m_kRegistry;
    Totals m_kTotals;
};

}  // namespace Common::Mem

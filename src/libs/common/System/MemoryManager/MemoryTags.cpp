#include "System/MemoryManager/MemoryTags.h"

#include <cstring>

namespace Common::Mem {

CTagAccounting::CTagAccounting(CMemoryManager* pManager)
    : m_pManager(pManager), m_kRegistry(Registry::key_compare(), Registry::allocator_type(pManager)),
      m_kTotals(Totals::key_compare(), Totals::allocator_type(pManager))
{
}

CTagAccounting::~CTagAccounting()
{
    ReleaseRegistry();
}

uint32 CTagAccounting::Register(const uint32* pTags, uint32 uiCount)
{
    if (!pTags || uiCount == 0 || uiCount > STagList::MaxDepth)
        return 0;
    std::lock_guard<std::mutex> kGuard(m_kLock);
    for (uint32 uiLevel = 1; uiLevel <= uiCount; ++uiLevel)
    {
        const uint32 uiId = pTags[uiLevel - 1];
        if (m_kRegistry.count(uiId))
            continue;
        void* pBlock = m_pManager->Alloc(sizeof(STagList), 16, __FILE__, __LINE__);
        if (!pBlock)
            return 0;
        auto* pList = new (pBlock) STagList();
        pList->uiCount = uiLevel;
        pList->uiId = uiId;
        memcpy(pList->auiTags, pTags, uiLevel * sizeof(uint32));
        try
        {
            m_kRegistry.emplace(uiId, pList);
        }
        catch (const std::bad_alloc&)
        {
            m_pManager->Free(pBlock);
            return 0;
        }
    }
    return pTags[uiCount - 1];
}

bool CTagAccounting::CopyList(uint32 uiId, STagList& kOut)
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    auto kIt = m_kRegistry.find(uiId);
    if (kIt == m_kRegistry.end())
        return false;
    kOut = *kIt->second;
    return true;
}

void CTagAccounting::Add(uint32 uiId, int64 i64Delta)
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    auto kIt = m_kRegistry.find(uiId);
    if (kIt == m_kRegistry.end())
        return;
    const STagList& kList = *kIt->second;
    for (uint32 i = 0; i < kList.uiCount; ++i)
    {
        try
        {
            auto kTotal = m_kTotals.try_emplace(kList.auiTags[i], 0).first;
            kTotal->second += i64Delta;
            if (kTotal->second == 0)
                m_kTotals.erase(kTotal);
        }
        catch (const std::bad_alloc&)
        {
            // Out of memory for the bookkeeping: the total of this level is
            // lost, the allocation itself stands.
        }
    }
}

uint64 CTagAccounting::GetBytes(uint32 uiId)
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    auto kIt = m_kTotals.find(uiId);
    return (kIt == m_kTotals.end() || kIt->second < 0) ? 0 : static_cast<uint64>(kIt->second);
}

void CTagAccounting::ReleaseRegistry()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    for (auto& kEntry : m_kRegistry)
        m_pManager->Free(kEntry.second);
    m_kRegistry.clear();
}

}  // namespace Common::Mem

#include "Scene/UserData.h"

#include <new>

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

namespace TarnRenderer {

UserDataPool::~UserDataPool()
{
    TARN_ASSERT(m_uiUsedCount == 0, "UserDataPool destroyed while %u record(s) are still attached to links",
                m_uiUsedCount);
    for (UserData* pBlock : m_kBlocks)
    {
        for (uint32 i = 0; i < kRecordsPerBlock; ++i)
        {
            TARN_FREE(pBlock[i].m_pData);
            pBlock[i].~UserData();
        }
        TARN_FREE(pBlock);
    }
}

UserData* UserDataPool::Acquire()
{
    if (!m_pFirstFree)
    {
        Common::Mem::CTagScope kTag("TarnRenderer::UserDataPool::Acquire");
        constexpr uint32 uiAlignment = alignof(UserData) > 16 ? alignof(UserData) : 16;
        void* pMemory = TARN_ALLOC_ALIGNED(sizeof(UserData) * kRecordsPerBlock, uiAlignment);
        if (!pMemory)
            return nullptr;
        const uint32 uiBlockCount = m_kBlocks.GetSize();
        m_kBlocks.Add(static_cast<UserData*>(pMemory));
        if (m_kBlocks.GetSize() == uiBlockCount)
        {
            // The block list could not grow (reported): keep nothing.
            TARN_FREE(pMemory);
            return nullptr;
        }
        UserData* pBlock = static_cast<UserData*>(pMemory);
        // Chained so that the block's records are handed out in address order.
        for (uint32 i = kRecordsPerBlock; i-- > 0;)
        {
            UserData* pRecord = ::new (static_cast<void*>(pBlock + i)) UserData();
            pRecord->m_pPool = this;
            pRecord->m_pNext = m_pFirstFree;
            m_pFirstFree = pRecord;
        }
        m_uiRecordCount += kRecordsPerBlock;
    }
    UserData* pRecord = m_pFirstFree;
    m_pFirstFree = pRecord->m_pNext;
    pRecord->m_pNext = nullptr;
    pRecord->m_bInUse = true;
    ++m_uiUsedCount;
    return pRecord;
}

void UserDataPool::Release(UserData* pRecord)
{
    if (!pRecord)
        return;
    if (!TARN_ASSERT(pRecord->m_pPool == this, "UserData record belongs to another pool"))
        return;
    if (!TARN_ASSERT(pRecord->m_bInUse, "UserData record was given back already"))
        return;
    TARN_FREE(pRecord->m_pData);
    pRecord->m_pData = nullptr;
    pRecord->m_uiSize = 0;
    pRecord->m_bInUse = false;
    pRecord->m_pNext = m_pFirstFree;
    m_pFirstFree = pRecord;
    --m_uiUsedCount;
}

}  // namespace TarnRenderer

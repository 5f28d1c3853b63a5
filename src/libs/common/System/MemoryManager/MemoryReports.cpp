#include "System/MemoryManager/MemoryManager.h"

#include <cstring>

#include "System/MemoryManager/BlockHeader.h"
#include "Utils/debuglog.h"

// The manager's reports, printed through the debug log: the listings of live
// blocks (all of them, by size, by file), the check of every block's
// signature and guard word, and the leak report made at shutdown.

namespace Common::Mem {

namespace {

using Detail::AddressOf;
using Detail::HasSignature;
using Detail::kHeaderSize;
using Detail::ReadGuard;

constexpr const char* kDashes = "-------------------------------------------------------------------------";

}  // namespace

void CMemoryManager::DisplayHeapAllocs(SHeapInfo* pHeap, uint32 uiThreshold)
{
    pHeap->kLock.Lock();
    CDebugLog::Print("---CMemoryManager::DisplayAllocs ---");
    CDebugLog::Print("CMemoryManager RAM Used=%dMb", static_cast<int>(pHeap->ui64Allocated >> 20));
    CDebugLog::Print("CMemoryManager Peak RAM Used=%dMb", static_cast<int>(pHeap->ui64Peak >> 20));
    CDebugLog::Print("CMemoryManager Numbers of allocation=%d", static_cast<int>(pHeap->uiNumAllocs));
    CDebugLog::Print("CMemoryManager RAM taken by manager=%dMb",
                     static_cast<int>((static_cast<uint64>(pHeap->uiNumAllocs) * kHeaderSize) >> 20));
    uint64 ui64Listed = 0;
    for (SAllocInfo* pInfo = pHeap->pFirst; pInfo; pInfo = pInfo->next)
    {
        if (pInfo->size < uiThreshold)
            continue;
        ui64Listed += pInfo->size;
        const char* pFile = pInfo->file ? pInfo->file : "?";
        const int iLine = static_cast<int>(pInfo->GetLine());
        if (uiThreshold >= 0x100000)
            CDebugLog::Print("%s(%i): %8d MB addr(%8llx)", pFile, iLine, static_cast<int>(pInfo->size >> 20),
                             AddressOf(pInfo->ptr));
        else if (uiThreshold < 1024)
            CDebugLog::Print("%s(%i): %8d B addr(%8llx)", pFile, iLine, static_cast<int>(pInfo->size),
                             AddressOf(pInfo->ptr));
        else
            CDebugLog::Print("%s(%i): %8d KB addr(%8llx)", pFile, iLine, static_cast<int>(pInfo->size >> 10),
                             AddressOf(pInfo->ptr));
    }
    CDebugLog::Print("Total allocated %8dB (%8dKb) (%8dMb)", static_cast<int>(ui64Listed),
                     static_cast<int>(ui64Listed >> 10), static_cast<int>(ui64Listed >> 20));
    pHeap->kLock.Unlock();
}

void CMemoryManager::DisplayAllocs(uint32 uiThreshold)
{
    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    for (uint32 i = 0; i < uiHeaps; ++i)
        DisplayHeapAllocs(&m_kHeaps[i], uiThreshold);
}

void CMemoryManager::DisplayLargeAllocsOfAllHeaps()
{
    DisplayAllocs(1024);
}

void CMemoryManager::DisplayAllocsByFile()
{
    // Grouping without allocating: a fixed table of distinct files per heap.
    struct SFileTotal
    {
        const char* pFile;
        uint32 uiCount;
        uint64 ui64Bytes;
        const void* pFirstBlock;
    };
    constexpr uint32 kMaxFiles = 512;
    SFileTotal akFiles[kMaxFiles];

    CDebugLog::Print("------------ DisplayAllocsByFile -------------");
    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    for (uint32 uiHeap = 0; uiHeap < uiHeaps; ++uiHeap)
    {
        SHeapInfo* pHeap = &m_kHeaps[uiHeap];
        pHeap->kLock.Lock();
        uint32 uiFiles = 0;
        uint32 uiUngrouped = 0;
        for (SAllocInfo* pInfo = pHeap->pFirst; pInfo; pInfo = pInfo->next)
        {
            const char* pFile = pInfo->file ? pInfo->file : "?";
            uint32 uiIndex = 0;
            while (uiIndex < uiFiles && strcmp(akFiles[uiIndex].pFile, pFile) != 0)
                ++uiIndex;
            if (uiIndex == uiFiles)
            {
                if (uiFiles == kMaxFiles)
                {
                    ++uiUngrouped;
                    continue;
                }
                akFiles[uiFiles++] = SFileTotal{pFile, 0, 0, pInfo->ptr};
            }
            ++akFiles[uiIndex].uiCount;
            akFiles[uiIndex].ui64Bytes += pInfo->size;
        }
        CDebugLog::Print("--- Heap %i ---", static_cast<int>(uiHeap));
        CDebugLog::Print("CMemoryManager Num Allocating Files=%d", static_cast<int>(uiFiles));
        for (uint32 i = 0; i < uiFiles; ++i)
        {
            const SFileTotal& kFile = akFiles[i];
            if (kFile.ui64Bytes >= 0x100000)
                CDebugLog::Print("%s(%i): %d MB", kFile.pFile, static_cast<int>(kFile.uiCount),
                                 static_cast<int>(kFile.ui64Bytes >> 20));
            else if (kFile.ui64Bytes >= 1024)
                CDebugLog::Print("%s(%i): %d KB", kFile.pFile, static_cast<int>(kFile.uiCount),
                                 static_cast<int>(kFile.ui64Bytes >> 10));
            else
                CDebugLog::Print("%s(%i): %d Bytes Address=0x%llx", kFile.pFile, static_cast<int>(kFile.uiCount),
                                 static_cast<int>(kFile.ui64Bytes), AddressOf(kFile.pFirstBlock));
        }
        if (uiUngrouped)
            CDebugLog::Print("(%u blocks of further files not grouped)", uiUngrouped);
        pHeap->kLock.Unlock();
    }
}

void CMemoryManager::DisplayFrags()
{
    CDebugLog::Print("Display Frags:");
    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    uint32 uiIndex = 0;
    for (uint32 uiHeap = 0; uiHeap < uiHeaps; ++uiHeap)
    {
        SHeapInfo* pHeap = &m_kHeaps[uiHeap];
        pHeap->kLock.Lock();
        for (SAllocInfo* pInfo = pHeap->pFirst; pInfo; pInfo = pInfo->next)
            CDebugLog::Print("(%u) .'%20s' ... line %8d ... %8d bytes... addr %8llx", uiIndex++,
                             pInfo->file ? pInfo->file : "?", static_cast<int>(pInfo->GetLine()),
                             static_cast<int>(pInfo->size), AddressOf(pInfo->ptr));
        pHeap->kLock.Unlock();
    }
}

uint32 CMemoryManager::CheckBufferOverrun()
{
    CDebugLog::Print("Memory Manager CheckBufferOverrun ...");
    uint32 uiDamaged = 0;
    const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
    for (uint32 uiHeap = 0; uiHeap < uiHeaps; ++uiHeap)
    {
        SHeapInfo* pHeap = &m_kHeaps[uiHeap];
        pHeap->kLock.Lock();
        for (SAllocInfo* pInfo = pHeap->pFirst; pInfo; pInfo = pInfo->next)
        {
            if (!HasSignature(pInfo) || ReadGuard(pInfo) != kGuardWord)
            {
                CDebugLog::Print("Buffer Overrun at 0x%llx", AddressOf(pInfo->ptr));
                ++uiDamaged;
            }
        }
        pHeap->kLock.Unlock();
    }
    CDebugLog::Print("Memory Manager Check: %d Buffer Overrun", static_cast<int>(uiDamaged));
    return uiDamaged;
}

uint32 CMemoryManager::ReportLeaks()
{
    constexpr uint32 kMaxListed = 64;
    CDebugLog::Print("%s", kDashes);
    const uint32 uiCount = GetNumAllocations();
    if (uiCount == 0)
    {
        CDebugLog::Print("Memory Manager C++ Leak detected : 0 !!! ");
    }
    else
    {
        CDebugLog::Print("Memory Manager C++ Leaks detected ...");
        CDebugLog::Print("Numbers of allocation : %d (%d bytes)", static_cast<int>(uiCount),
                         static_cast<int>(GetAllocatedBytes()));
        // Name the first leaks, so that the report says where to look.
        uint32 uiListed = 0;
        const uint32 uiHeaps = m_iNumHeaps.load(std::memory_order_acquire);
        for (uint32 uiHeap = 0; uiHeap < uiHeaps && uiListed < kMaxListed; ++uiHeap)
        {
            SHeapInfo* pHeap = &m_kHeaps[uiHeap];
            pHeap->kLock.Lock();
            for (SAllocInfo* pInfo = pHeap->pFirst; pInfo && uiListed < kMaxListed; pInfo = pInfo->next, ++uiListed)
                CDebugLog::Print("%s(%i): %8d B addr(%8llx)", pInfo->file ? pInfo->file : "?",
                                 static_cast<int>(pInfo->GetLine()), static_cast<int>(pInfo->size),
                                 AddressOf(pInfo->ptr));
            pHeap->kLock.Unlock();
        }
    }
    CDebugLog::Print("%s", kDashes);
    return uiCount;
}

}  // namespace Common::Mem

#include "System/Posix/PosixHeap.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace Common::Posix {

struct SHeap
{
    std::atomic<long> iLiveBlocks{0};
};

namespace {
SHeap s_kProcessHeap;
}

HeapHandle GetProcessHeap()
{
    return &s_kProcessHeap;
}

HeapHandle HeapCreate()
{
    return new (std::nothrow) SHeap();
}

bool HeapDestroy(HeapHandle hHeap)
{
    if (!hHeap || hHeap == &s_kProcessHeap)
        return false;
    delete hHeap;
    return true;
}

void* HeapAlloc(HeapHandle hHeap, size_t uiSize)
{
    if (!hHeap)
        return nullptr;
    void* pBlock = malloc(uiSize ? uiSize : 1);
    if (pBlock)
        hHeap->iLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    return pBlock;
}

void* HeapReAlloc(HeapHandle hHeap, void* pBlock, size_t uiSize)
{
    if (!hHeap)
        return nullptr;
    if (!pBlock)
        return HeapAlloc(hHeap, uiSize);
    return realloc(pBlock, uiSize ? uiSize : 1);
}

bool HeapFree(HeapHandle hHeap, void* pBlock)
{
    if (!hHeap)
        return false;
    if (pBlock)
    {
        free(pBlock);
        hHeap->iLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    }
    return true;
}

long HeapBlockCount(HeapHandle hHeap)
{
    return hHeap ? hHeap->iLiveBlocks.load(std::memory_order_relaxed) : 0;
}

}  // namespace Common::Posix

#include "System/Posix/PosixHeap.h"

#include <cstdlib>
#include <new>

namespace Common::Posix {

struct alignas(64) SHeap
{
    char acUnused[64];
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

void* HeapReAlloc(HeapHandle hHeap, void* pBlock, size_t uiSize)
{
    if (!hHeap)
        return nullptr;
    if (!pBlock)
        return HeapAlloc(hHeap, uiSize);
    return realloc(pBlock, uiSize ? uiSize : 1);
}

}  // namespace Common::Posix

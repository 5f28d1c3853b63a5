#pragma once

#include <cstddef>
#include <cstdlib>

// Operating-system heaps of the POSIX platform layer.
//
// A heap is a handle over the C library's malloc family: blocks of every heap
// come from malloc and go back with free, so a block may be released on any
// thread. The handle gives a heap an identity (the memory manager keeps one
// per thread); it keeps no shared counters, so threads using different heaps
// never touch a common cache line. Destroying a heap releases nothing: its
// owner frees every block it still lists first.

namespace Common::Posix {

struct SHeap;
using HeapHandle = SHeap*;

// The process heap: always valid, never destroyed.
HeapHandle GetProcessHeap();

// A new heap, or null when the system refuses the handle.
HeapHandle HeapCreate();

// Destroys a heap made by HeapCreate. False for null or the process heap.
bool HeapDestroy(HeapHandle hHeap);

// malloc, realloc and free on behalf of a heap; null heap handles fail.
// Alloc and Free are inline: they are on the memory manager's hot path.
inline void* HeapAlloc(HeapHandle hHeap, size_t uiSize)
{
    return hHeap ? malloc(uiSize ? uiSize : 1) : nullptr;
}
void* HeapReAlloc(HeapHandle hHeap, void* pBlock, size_t uiSize);
inline bool HeapFree(HeapHandle hHeap, void* pBlock)
{
    if (!hHeap)
        return false;
    free(pBlock);
    return true;
}

}  // namespace Common::Posix

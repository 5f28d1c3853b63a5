#pragma once

#include <cstddef>

#include "System/MemoryManager/MemoryManager.h"

namespace Common {

// rapidjson's base allocator over the engine memory manager, so that the
// parser's memory is accounted like every other allocation. Use it as the
// base of the memory pool and as the document's stack allocator:
//
//   using JsonPool = rapidjson::MemoryPoolAllocator<Common::CJsonAllocator>;
//   using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, Common::CJsonAllocator>;
//
//   Common::CJsonAllocator kHeap;
//   JsonPool kPool(uiChunkBytes, &kHeap);
//   JsonDocument kDocument(&kPool, uiStackBytes, &kHeap);
//
// Handing the pool and the document an allocator object of the caller's
// keeps rapidjson from creating one with the global operator new.
//
// A zero-sized request gives null, and a reallocation to zero frees the
// block: rapidjson's own allocators behave the same way.
class CJsonAllocator
{
public:
    static const bool kNeedFree = true;

    static void* Malloc(size_t uiSize) { return uiSize ? TARN_ALLOC(uiSize) : nullptr; }
    static void* Realloc(void* pBlock, size_t /*uiOldSize*/, size_t uiNewSize)
    {
        if (uiNewSize == 0)
        {
            TARN_FREE(pBlock);
            return nullptr;
        }
        return TARN_REALLOC(pBlock, uiNewSize);
    }
    static void Free(void* pBlock) { TARN_FREE(pBlock); }
};

}  // namespace Common

#pragma once

#include <cstddef>

namespace Common {

// Asks for every cache line of an object ahead of its use. Only a fetch:
// nothing is read or changed, and a pointer that is about to be freed does no
// harm. Null and empty objects fetch nothing.
inline void PrefetchBytes(const void* pObject, size_t uiBytes)
{
    if (!pObject || uiBytes == 0)
        return;
    const char* pBytes = static_cast<const char*>(pObject);
    for (size_t uiOffset = 0; uiOffset < uiBytes; uiOffset += 64)
        __builtin_prefetch(pBytes + uiOffset);
    __builtin_prefetch(pBytes + uiBytes - 1);
}

}  // namespace Common

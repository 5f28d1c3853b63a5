#pragma once

#include <cstdint>
#include <cstring>

#include "Core/Types.h"
#include "System/MemoryManager/MemoryManager.h"

// How the memory manager reads the header and the guard word of its blocks:
// shared by the allocation (MemoryManager.cpp) and the reports
// (MemoryReports.cpp). Not for use outside the memory manager.
namespace Common::Mem::Detail {

// The header's signature of a live block; Free and Realloc overwrite its
// first byte.
inline constexpr char kSignature[8] = {'C', 'O', 'M', 'M', 'M', 'E', 'M', 'M'};
inline constexpr uint32 kHeaderSize = sizeof(SAllocInfo);

inline bool HasSignature(const SAllocInfo* pInfo)
{
    return memcmp(pInfo->signature, kSignature, sizeof(kSignature)) == 0;
}

// The word just past the block's bytes (CMemoryManager::kGuardWord while the
// block was not written beyond its end).
inline uint32 ReadGuard(const SAllocInfo* pInfo)
{
    uint32 uiGuard;
    memcpy(&uiGuard, static_cast<const char*>(pInfo->ptr) + pInfo->size, sizeof(uiGuard));
    return uiGuard;
}

// A block's address as the reports print it.
inline unsigned long long AddressOf(const void* pBlock)
{
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pBlock));
}

}  // namespace Common::Mem::Detail

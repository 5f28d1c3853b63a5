#pragma once

#include <cstddef>

#include "Utils/JsonDocument.h"

namespace Common {

// A document whose every byte, its parse stack included, goes through the
// memory manager (a document made without allocators would use the global
// heap for its own pool).
class CManagedJsonDocument
{
public:
    explicit CManagedJsonDocument(size_t uiChunkBytes = 16 * 1024, size_t uiStackBytes = 1024)
        : m_kPool(uiChunkBytes, &m_kHeap), m_kDocument(&m_kPool, uiStackBytes, &m_kHeap)
    {
    }
    CManagedJsonDocument(const CManagedJsonDocument&) = delete;
    CManagedJsonDocument& operator=(const CManagedJsonDocument&) = delete;

    JsonDocument& Get() { return m_kDocument; }

private:
    CJsonAllocator m_kHeap;
    JsonPool m_kPool;
    JsonDocument m_kDocument;
};

}  // namespace Common

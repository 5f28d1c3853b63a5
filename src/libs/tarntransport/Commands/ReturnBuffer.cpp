#include "Commands/ReturnBuffer.h"

#include <cstring>

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

namespace TarnEngine {

CReturnBuffer::CReturnBuffer()
{
    Clear();
}

CReturnBuffer::CReturnBuffer(const CReturnBuffer& kOther) : RetWriter()
{
    Clear();
    *this = kOther;
}

CReturnBuffer::~CReturnBuffer()
{
    TARN_FREE(m_pBuffer);
}

bool CReturnBuffer::Reallocate(size_t uiCapacity, size_t uiKeep)
{
    char* pNew = nullptr;
    {
        Common::Mem::CTagScope kTag("TarnEngine::CReturnBuffer::Put");
        pNew = static_cast<char*>(TARN_ALLOC(uiCapacity));
    }
    if (!TARN_ASSERT(pNew, "no memory for a return buffer of %zu bytes", uiCapacity))
        return false;
    memset(pNew, 0, uiCapacity);
    if (m_pBuffer && uiKeep)
        memcpy(pNew, m_pBuffer, uiKeep);
    TARN_FREE(m_pBuffer);
    m_pBuffer = pNew;
    m_uiCapacity = uiCapacity;
    return true;
}

void CReturnBuffer::Clear()
{
    TARN_FREE(m_pBuffer);
    m_pBuffer = nullptr;
    m_uiCapacity = 0;
    m_uiLength = 0;
    Reallocate(kInitialCapacity, 0);
}

size_t CReturnBuffer::Put(char cChar)
{
    if (m_uiLength + 1 >= m_uiCapacity)
    {
        const size_t uiNewCapacity = m_uiCapacity ? m_uiCapacity * 2 : kInitialCapacity;
        if (!Reallocate(uiNewCapacity, m_uiLength))
            return m_uiLength;
    }
    m_pBuffer[m_uiLength++] = cChar;
    m_pBuffer[m_uiLength] = 0;
    return m_uiLength;
}

bool CReturnBuffer::Append(const char* pData, size_t uiLength)
{
    if (m_uiLength + uiLength + 1 > m_uiCapacity)
    {
        size_t uiNewCapacity = m_uiCapacity ? m_uiCapacity : kInitialCapacity;
        while (uiNewCapacity < m_uiLength + uiLength + 1)
            uiNewCapacity *= 2;
        if (!Reallocate(uiNewCapacity, m_uiLength))
            return false;
    }
    memcpy(m_pBuffer + m_uiLength, pData, uiLength);
    m_uiLength += uiLength;
    m_pBuffer[m_uiLength] = 0;
    return true;
}

CReturnBuffer& CReturnBuffer::operator=(const CReturnBuffer& kOther)
{
    if (this == &kOther)
        return *this;
    if (m_uiCapacity < kOther.m_uiCapacity || !m_pBuffer)
    {
        if (!Reallocate(kOther.m_uiCapacity ? kOther.m_uiCapacity : kInitialCapacity, 0))
            return *this;
    }
    memset(m_pBuffer, 0, m_uiCapacity);
    if (kOther.m_pBuffer)
        memcpy(m_pBuffer, kOther.m_pBuffer, kOther.m_uiLength);
    m_uiLength = kOther.m_uiLength;
    return *this;
}

void CReturnBuffer::SetText(const char* pText)
{
    m_uiLength = 0;
    if (m_pBuffer)
        memset(m_pBuffer, 0, m_uiCapacity);
    for (const char* pChar = pText ? pText : ""; *pChar; ++pChar)
        Put(*pChar);
}

}  // namespace TarnEngine

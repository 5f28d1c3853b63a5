#include "DataStatic/Mocap.h"

#include "System/MemoryManager/MemoryManager.h"

namespace TarnAnim {

namespace {

// ASCII-only lower case: names are compared the same way whatever the
// process locale is.
char ToLowerAscii(char cChar)
{
    return (cChar >= 'A' && cChar <= 'Z') ? static_cast<char>(cChar - 'A' + 'a') : cChar;
}

}  // namespace

bool FixedName::EqualsNoCase(const char* pText) const
{
    if (!pText)
        return false;
    uint32 uiIdx = 0;
    for (; uiIdx < Capacity && m_acText[uiIdx] != '\0'; ++uiIdx)
    {
        if (ToLowerAscii(m_acText[uiIdx]) != ToLowerAscii(pText[uiIdx]))
            return false;
    }
    // Both end here (a longer pText differs in its next character).
    return uiIdx < Capacity && pText[uiIdx] == '\0';
}

Mocap::~Mocap()
{
    for (Sequence* pSequence : m_kSequences)
        TARN_DELETE(pSequence);
    m_kSequences.Clear();
    TARN_DELETE(m_pTransitionData);
    m_pTransitionData = nullptr;
}

int32 Mocap::FindSequence(const char* pName) const
{
    if (!pName)
        return -1;
    for (uint32 uiIdx = 0; uiIdx < m_kSequences.GetSize(); ++uiIdx)
    {
        if (m_kSequences[uiIdx] && m_kSequences[uiIdx]->m_kName.Equals(pName))
            return static_cast<int32>(uiIdx);
    }
    return -1;
}

int32 Mocap::FindSequenceNoCase(const char* pName) const
{
    if (!pName)
        return -1;
    for (uint32 uiIdx = 0; uiIdx < m_kSequences.GetSize(); ++uiIdx)
    {
        if (m_kSequences[uiIdx] && m_kSequences[uiIdx]->m_kName.EqualsNoCase(pName))
            return static_cast<int32>(uiIdx);
    }
    return -1;
}

}  // namespace TarnAnim

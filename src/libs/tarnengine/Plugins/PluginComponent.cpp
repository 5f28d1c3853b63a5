#include "Plugins/PluginComponent.h"

#include <cstring>

#include "Utils/assertion.h"
#include "Utils/idfromstring.h"

namespace TarnEngine {

namespace {

// Copies at most uiCapacity - 1 characters of pText (null: empty) and
// terminates. A longer text is cut and reported: whatever is looked up by
// the full name will not find the cut one.
void CopyBounded(char* pOut, size_t uiCapacity, const char* pText)
{
    if (!pText)
        pText = "";
    const size_t uiLength = strnlen(pText, uiCapacity);
    const size_t uiKept = uiLength < uiCapacity ? uiLength : uiCapacity - 1;
    TARN_ASSERT(uiLength < uiCapacity, "Descriptor text cut to %zu characters: %.*s...", uiKept,
                static_cast<int>(uiKept), pText);
    memcpy(pOut, pText, uiKept);
    pOut[uiKept] = '\0';
}

} // namespace

void CustomComponentDesc::Set(const char* pName, const char* pContainerType, const char* pDisplayName,
                              const char* pDescription)
{
    CopyBounded(m_acName, sizeof(m_acName), pName);
    CopyBounded(m_acContainerType, sizeof(m_acContainerType), pContainerType);
    CopyBounded(m_acDisplayName, sizeof(m_acDisplayName), pDisplayName);
    CopyBounded(m_acDescription, sizeof(m_acDescription), pDescription);
    m_uiContainerTypeId = GenerateUIntIdFromString(m_acContainerType);
    m_uiComponentId = GenerateUIntIdFromString(m_acName);
}

void PluginNode::CollectValue(void* _pValue, TarnRenderer::TArray<void*>* _pList)
{
    if (_pList)
        _pList->Add(_pValue);
}

void CustomNodeHeaderDesc::Set(const char* pTypeName, const char* pDisplayName, const char* pCategory,
                               const char* pDescription)
{
    CopyBounded(m_acTypeName, sizeof(m_acTypeName), pTypeName);
    CopyBounded(m_acDisplayName, sizeof(m_acDisplayName), pDisplayName);
    CopyBounded(m_acCategory, sizeof(m_acCategory), pCategory);
    CopyBounded(m_acDescription, sizeof(m_acDescription), pDescription);
}

} // namespace TarnEngine

#include "Plugins/DescriptorText.h"

#include <cstring>

#include "Utils/assertion.h"

namespace TarnEngine {

void CopyDescriptorText(char* pOut, size_t uiCapacity, const char* pText)
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

}  // namespace TarnEngine

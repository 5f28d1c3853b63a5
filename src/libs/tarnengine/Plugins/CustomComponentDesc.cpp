#include "Plugins/CustomComponentDesc.h"

#include "Plugins/DescriptorText.h"
#include "Utils/idfromstring.h"

namespace TarnEngine {

void CustomComponentDesc::Set(const char* pName, const char* pContainerType, const char* pDisplayName,
                              const char* pDescription)
{
    CopyDescriptorText(m_acName, sizeof(m_acName), pName);
    CopyDescriptorText(m_acContainerType, sizeof(m_acContainerType), pContainerType);
    CopyDescriptorText(m_acDisplayName, sizeof(m_acDisplayName), pDisplayName);
    CopyDescriptorText(m_acDescription, sizeof(m_acDescription), pDescription);
    m_uiContainerTypeId = GenerateUIntIdFromString(m_acContainerType);
    m_uiComponentId = GenerateUIntIdFromString(m_acName);
}

}  // namespace TarnEngine

#include "Plugins/CustomNodeFactory.h"

#include "Plugins/DescriptorText.h"

namespace TarnEngine {

void CustomNodeHeaderDesc::Set(const char* pTypeName, const char* pDisplayName, const char* pCategory,
                               const char* pDescription)
{
    CopyDescriptorText(m_acTypeName, sizeof(m_acTypeName), pTypeName);
    CopyDescriptorText(m_acDisplayName, sizeof(m_acDisplayName), pDisplayName);
    CopyDescriptorText(m_acCategory, sizeof(m_acCategory), pCategory);
    CopyDescriptorText(m_acDescription, sizeof(m_acDescription), pDescription);
}

}  // namespace TarnEngine

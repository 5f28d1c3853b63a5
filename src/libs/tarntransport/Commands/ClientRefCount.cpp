#include "Commands/ClientRefCount.h"

#include "Utils/assertion.h"

namespace TarnEngine {

int CClientRefCount::ReleaseRef()
{
    if (!TARN_ASSERT(m_uiRefCount > 0, "ReleaseRef of an object that holds no reference"))
        return 0;
    const uint32 uiCount = --m_uiRefCount;
    if (uiCount == 0)
        OnLastReference();  // may destroy the object: nothing of it is read after
    return static_cast<int>(uiCount);
}

}  // namespace TarnEngine

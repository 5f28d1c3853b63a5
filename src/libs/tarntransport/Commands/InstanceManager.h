#pragma once

#include "Commands/ClientRefCount.h"
#include "Commands/PointerResolver.h"
#include "Core/Types.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/ClassName.h"

namespace TarnEngine {

// Base of the stub interfaces with many objects. Construction gives the
// object the next ID of I and enters it into the resolver; destruction
// removes it. The last ReleaseRef deletes the object, so instance objects
// must be made with TARN_NEW (they are deleted with TARN_DELETE).
template <class I> class CInstanceManager : public CClientRefCount
{
public:
    using InterfaceType = I;

    CInstanceManager()
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            m_uiInstanceID = pResolver->RegisterPtr(Common::GetClassId<I>(), this);
    }
    ~CInstanceManager() override
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            pResolver->UnregisterPtr(Common::GetClassId<I>(), this);
    }

    void OnLastReference() override { TARN_DELETE(this); }

    // The ID given at construction (kInvalidIndex without a resolver).
    uint32 GetInstanceID() const { return m_uiInstanceID; }

private:
    uint32 m_uiInstanceID = kInvalidIndex;
};

}  // namespace TarnEngine

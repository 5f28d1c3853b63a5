#pragma once

#include <type_traits>

#include "Commands/ClientRefCount.h"
#include "Commands/PointerResolver.h"
#include "Utils/ClassName.h"

namespace TarnEngine {

// Base of the stub interfaces with one object per process (ID 0).
// Construction records the object as the singleton of I; destruction removes
// the record. The last ReleaseRef leaves the singleton alive.
template <class I> class CSingletonManager : public CClientRefCount
{
public:
    using InterfaceType = I;

    CSingletonManager()
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            pResolver->SetSingletonPtr(Common::GetClassId<I>(), this);
    }
    ~CSingletonManager() override
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            pResolver->ClearSingletonPtr(Common::GetClassId<I>(), this);
    }
};

// I is the stub interface of a singleton class.
template <class I> inline constexpr bool kIsSingletonInterface = std::is_base_of_v<CSingletonManager<I>, I>;

}  // namespace TarnEngine

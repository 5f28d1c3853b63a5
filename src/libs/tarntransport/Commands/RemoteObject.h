#pragma once

#include <type_traits>

#include "Commands/ClientRefCount.h"

namespace TarnEngine {

// T is a remote class (a stub interface or a class implementing one): a
// CClientRefCount that names its stub interface as InterfaceType, as
// CInstanceManager and CSingletonManager do.
template <class T>
concept RemoteObject = std::is_base_of_v<CClientRefCount, T> && requires
{
    typename T::InterfaceType;
};

template <class T>
concept RemoteObjectPointer = std::is_pointer_v<T> && RemoteObject<std::remove_cv_t<std::remove_pointer_t<T>>>;

}  // namespace TarnEngine

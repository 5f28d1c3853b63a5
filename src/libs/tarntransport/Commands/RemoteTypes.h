#pragma once

#include <concepts>
#include <optional>
#include <type_traits>

#include "Commands/RemoteObject.h"
#include "Commands/SingletonManager.h"
#include "Core/Types.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Utils/ClassName.h"

// What a registered command takes and gives, named for the clients that list
// the remote classes: the command templates describe their own method, so
// that the listing always says what the marshalling really reads and writes.
//
// Type names:
//   "void", "bool", "float", "double", "int32", "uint32", "int64", "uint64"
//   "string"      const char*
//   "vec", "quat" Math::LocalVector3, Math::Quaternion
//   an enumeration is named by its underlying integer type
//   a remote object by the class name its interface is registered under
//   (resolved when the list is made, see CommandManager::ListCommands)
//   a result type that writes itself by its kRemoteTypeName
// An optional argument (std::optional<T>, absent or null in the request)
// is T's name followed by "?".

namespace TarnEngine {

// Most arguments of a remote method.
inline constexpr uint32 kMaxCommandArgs = 6;

// A value type as the listing names it.
struct SRemoteType
{
    // The name; null for a remote object, named by its interface instead.
    const char* pName = "void";
    // The class identifier of the remote object's interface (0 otherwise).
    uint32 uiInterfaceKey = 0;
    bool bOptional = false;
};

// The signature of one command.
struct SCommandSignature
{
    // The class identifier of the interface the command calls, and whether
    // that interface is a singleton one.
    uint32 uiTargetKey = 0;
    bool bSingleton = false;
    SRemoteType kResult;
    uint32 uiArgCount = 0;
    SRemoteType akArgs[kMaxCommandArgs];
};

// A result type that writes its own JSON names itself with
//   static constexpr const char* kRemoteTypeName = "...";
template <class T>
concept NamedRemoteType = requires
{
    {
        T::kRemoteTypeName
        } -> std::convertible_to<const char*>;
};

namespace Detail {
template <class T> struct SIsOptional : std::false_type
{
};
template <class T> struct SIsOptional<std::optional<T>> : std::true_type
{
};
template <class T> inline constexpr bool kAlwaysFalse = false;
}  // namespace Detail

template <class T> SRemoteType DescribeRemoteType()
{
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_void_v<U>)
        return {"void"};
    else if constexpr (Detail::SIsOptional<U>::value)
    {
        static_assert(!RemoteObjectPointer<typename U::value_type>, "object arguments take null already");
        SRemoteType kType = DescribeRemoteType<typename U::value_type>();
        kType.bOptional = true;
        return kType;
    }
    else if constexpr (std::is_same_v<U, bool>)
        return {"bool"};
    else if constexpr (std::is_same_v<U, float>)
        return {"float"};
    else if constexpr (std::is_same_v<U, double>)
        return {"double"};
    else if constexpr (std::is_same_v<U, int32>)
        return {"int32"};
    else if constexpr (std::is_same_v<U, uint32>)
        return {"uint32"};
    else if constexpr (std::is_same_v<U, int64>)
        return {"int64"};
    else if constexpr (std::is_same_v<U, uint64>)
        return {"uint64"};
    else if constexpr (std::is_same_v<U, const char*>)
        return {"string"};
    else if constexpr (std::is_same_v<U, Math::LocalVector3>)
        return {"vec"};
    else if constexpr (std::is_same_v<U, Math::Quaternion>)
        return {"quat"};
    else if constexpr (std::is_enum_v<U>)
        return DescribeRemoteType<std::underlying_type_t<U>>();
    else if constexpr (RemoteObjectPointer<U>)
    {
        using I = typename std::remove_cv_t<std::remove_pointer_t<U>>::InterfaceType;
        return {nullptr, Common::GetClassId<I>()};
    }
    else if constexpr (NamedRemoteType<U>)
        return {U::kRemoteTypeName};
    else
        static_assert(Detail::kAlwaysFalse<U>, "a remote value type needs a name (kRemoteTypeName)");
}

// The signature of a method R (I::*)(const A&...) of the stub interface I.
template <class I, class R, class... A> SCommandSignature DescribeCommand()
{
    static_assert(sizeof...(A) <= kMaxCommandArgs, "engine commands take at most six arguments");
    SCommandSignature kSignature;
    kSignature.uiTargetKey = Common::GetClassId<I>();
    kSignature.bSingleton = kIsSingletonInterface<I>;
    kSignature.kResult = DescribeRemoteType<R>();
    kSignature.uiArgCount = static_cast<uint32>(sizeof...(A));
    uint32 uiArg = 0;
    ((kSignature.akArgs[uiArg++] = DescribeRemoteType<A>()), ...);
    (void)uiArg;
    return kSignature;
}

}  // namespace TarnEngine

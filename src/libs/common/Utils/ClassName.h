#pragma once

#include <type_traits>
#include <typeinfo>

#include "Core/Types.h"
#include "Utils/idfromstring.h"

// Run-time class names in one form whichever compiler built the code.
//
// The engine keys plug-in containers and remote interfaces by class names, and
// a host and its plug-in modules must agree on them. Compilers spell their
// run-time type names differently, so the names are rebuilt here in one form:
//
//   <keyword><qualified name>
//
// for example "class TarnEngine::PrefabContainer" or "struct GaitPlugin::Pose".
//
// - The qualified name is the demangled name (abi::__cxa_demangle) of the
//   type, with every ", " written as "," so that template arguments read
//   "TarnRenderer::TArray<GaitPlugin::AnimationAxis,unsigned int>". Arguments
//   of a template carry no keyword of their own, "> >" stays as the
//   demangler writes it, the unnamed namespace reads "(anonymous namespace)".
// - The keyword comes from TypeKeyword<T>: "class " for every class type,
//   "union " for unions, "enum " for enumerations and nothing for other
//   types. After compilation a struct cannot be told from a class, so a type
//   that must read "struct " says so by specialising the trait, at global
//   namespace scope:
//
//     TARN_TYPE_KEYWORD_STRUCT(GaitPlugin::Pose);
//
// Names are built once per type into a fixed buffer of that type
// (kClassNameBufferSize bytes) on the first call, which is thread-safe; later
// calls only return the buffer. The demangler's own working block comes from
// the C++ runtime and is given back at once; nothing of the engine's memory is
// used.

namespace Common {

// Size of each type's name buffer, terminator included. A longer name is
// reported and cut.
inline constexpr uint32 kClassNameBufferSize = 512;

// The word written in front of a type's name. Specialise for structs (see
// TARN_TYPE_KEYWORD_STRUCT) or for any other spelling.
template <class T> struct TypeKeyword
{
    static constexpr const char* kText = std::is_union_v<T>   ? "union "
                                         : std::is_class_v<T> ? "class "
                                         : std::is_enum_v<T>  ? "enum "
                                                              : "";
};

// Writes the name of kType (the form above, with pKeyword in front) into
// pBuffer, terminated, and returns its length. A null pKeyword takes the
// keyword from the kind of type: "class " for every class or union (the
// run-time information cannot tell them apart; TypeKeyword specialisations
// are only seen by the typed forms below), "enum " for enumerations, nothing
// otherwise. A name that does not fit is reported and cut.
uint32 GetClassName(const std::type_info& kType, char* pBuffer, uint32 uiBufferSize, const char* pKeyword = nullptr);

namespace Detail {

// The name and identifier of one type, built once.
template <class T> struct SClassNameRecord
{
    SClassNameRecord()
    {
        GetClassName(typeid(T), m_acName, kClassNameBufferSize, TypeKeyword<T>::kText);
        m_uiId = GenerateUIntIdFromString(m_acName);
    }
    char m_acName[kClassNameBufferSize];
    uint32 m_uiId;
};

template <class T> const SClassNameRecord<T>& GetClassNameRecord()
{
    static const SClassNameRecord<T> s_kRecord;
    return s_kRecord;
}

}  // namespace Detail

// The name of T, for example "class TarnEngine::PrefabContainer". The text
// lives as long as the program. References and cv-qualifiers are ignored.
template <class T> const char* GetClassName()
{
    return Detail::GetClassNameRecord<std::remove_cvref_t<T>>().m_acName;
}

// GenerateUIntIdFromString of GetClassName<T>(), computed once.
template <class T> uint32 GetClassId()
{
    return Detail::GetClassNameRecord<std::remove_cvref_t<T>>().m_uiId;
}

// The text after the last ':' of pName ("class TarnEngine::PrefabContainer"
// gives "PrefabContainer"); the whole name when it has no ':'. Points into
// pName; null for null.
const char* GetShortTypeName(const char* pName);

}  // namespace Common

// Makes the typed names of Type read "struct ...". Use at global namespace
// scope, after Type is declared.
#define TARN_TYPE_KEYWORD_STRUCT(Type)                                                                                 \
    template <> struct Common::TypeKeyword<Type>                                                                       \
    {                                                                                                                  \
        static constexpr const char* kText = "struct ";                                                                \
    }

#pragma once

#include <cstddef>

#include <rapidjson/document.h>

#include "Core/Types.h"
#include "Utils/JsonAllocator.h"
#include "Data/GaitType.h"

namespace TarnAnim {
class Mocap;
}

namespace GaitPlugin {

// A rejected gait document: one line per problem, each naming the member
// path ("Binds[3].NameKeySource: expected a string").
struct GaitLoadErrors
{
    static constexpr uint32 Capacity = 4096;
    char m_acText[Capacity] = {};
    uint32 m_uiCount = 0;
};

// Reads gait documents into ParamGait and resolves ParamGait against a
// mocap into GaitRuntimeData.
class GaitSerializer
{
public:
    // Validates the whole document (text, UTF-8 JSON); when anything is
    // wrong, reports one assertion-style line per problem, fills kErrors and
    // returns false with kParam unchanged. Otherwise loads it into kParam
    // exactly in the document's order and returns true.
    static bool LoadFromText(const char* pText, size_t uiLength, ParamGait& kParam, GaitLoadErrors* pErrors = nullptr);
    // The same for a document parsed by the caller (its root value), with
    // rapidjson's default allocator or through the memory manager.
    static bool LoadFromDocument(const rapidjson::Value& kRoot, ParamGait& kParam, GaitLoadErrors* pErrors = nullptr);
    using ManagedJsonValue =
        rapidjson::GenericValue<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<Common::CJsonAllocator>>;
    static bool LoadFromDocument(const ManagedJsonValue& kRoot, ParamGait& kParam, GaitLoadErrors* pErrors = nullptr);

    // Resolves pParam (nothing happens for null) against the mocap's
    // sequences into kData; unknown names are reported and resolve to the
    // unknown values (13, 2, or kInvalidIndex for a sequence).
    static void Serialize(const ParamGait* pParam, const TarnAnim::Mocap& kMocap, GaitRuntimeData& kData);
};

}  // namespace GaitPlugin

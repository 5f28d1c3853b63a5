#pragma once

#include <cstddef>

#include <rapidjson/document.h>

#include "Core/Types.h"
#include "Data/GaitType.h"
#include "Utils/InputErrors.h"
#include "Utils/JsonAllocator.h"

namespace TarnAnim {
class Mocap;
}

namespace GaitPlugin {

// Reads gait documents into ParamGait and resolves ParamGait against a
// mocap into GaitRuntimeData.
class GaitSerializer
{
public:
    // Room of the error text: one line per problem listed.
    static constexpr uint32 kErrorTextCapacity = 4096;

    // Validates the whole document (text, UTF-8 JSON). When anything is
    // wrong, records every problem in *pErrors (reset first, source
    // "document"), whose text lists them a line each
    // ("Binds[3].NameKeySource: expected a string") up to its limit and
    // counts the rest in a closing line; reports each listed line as an
    // assertion and returns false with kParam unchanged. Otherwise loads it
    // into kParam exactly in the document's order and returns true.
    static bool LoadFromText(const char* pText, size_t uiLength, ParamGait& kParam,
                             Common::CInputErrors* pErrors = nullptr);
    // The same for a document parsed by the caller (its root value), with
    // rapidjson's default allocator or through the memory manager.
    static bool LoadFromDocument(const rapidjson::Value& kRoot, ParamGait& kParam,
                                 Common::CInputErrors* pErrors = nullptr);
    using ManagedJsonValue =
        rapidjson::GenericValue<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<Common::CJsonAllocator>>;
    static bool LoadFromDocument(const ManagedJsonValue& kRoot, ParamGait& kParam,
                                 Common::CInputErrors* pErrors = nullptr);

    // Resolves pParam (nothing happens for null) against the mocap's
    // sequences into kData; unknown names are reported and resolve to the
    // unknown values (13, 2, or kInvalidIndex for a sequence).
    static void Serialize(const ParamGait* pParam, const TarnAnim::Mocap& kMocap, GaitRuntimeData& kData);
};

}  // namespace GaitPlugin

#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"

namespace TarnEngine {

// One property of a component type as tools show it.
struct CustomComponentPropertyDesc
{
    static constexpr uint32 NameCapacity = 64;
    char m_acName[NameCapacity] = {};
    uint32 m_uiType = 0;
};

// What a component builder adds: the component type name (the "Type" of an
// add-in object), the short class name of the container type it extends, a
// label for tools and a free text. Each text keeps at most TextCapacity - 1
// characters (a longer one is cut, with a report); both identifiers are
// computed from the stored texts whenever they are set.
struct CustomComponentDesc
{
    static constexpr uint32 TextCapacity = 127;

    CustomComponentDesc() { Set("", "", "", ""); }
    CustomComponentDesc(const char* pName, const char* pContainerType, const char* pDisplayName,
                        const char* pDescription)
    {
        Set(pName, pContainerType, pDisplayName, pDescription);
    }

    // Copies the texts (null counts as empty) and computes both identifiers.
    void Set(const char* pName, const char* pContainerType, const char* pDisplayName, const char* pDescription);

    char m_acName[TextCapacity] = {};
    char m_acContainerType[TextCapacity] = {};
    char m_acDisplayName[TextCapacity] = {};
    char m_acDescription[TextCapacity] = {};
    uint32 m_uiContainerTypeId = 0;  // identifier of m_acContainerType
    uint32 m_uiComponentId = 0;      // identifier of m_acName: the builder's registry key
    TarnRenderer::TArray<CustomComponentPropertyDesc> m_kProperties;
};

}  // namespace TarnEngine

#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Plugins/PluginJson.h"
#include "Plugins/PluginNode.h"

namespace TarnEngine {

// The fixed header of a custom node type's descriptor; the first text is
// the type name, the registry key of the type.
struct CustomNodeHeaderDesc
{
    static constexpr uint32 TextCapacity = 128;

    // Bounded copies (null counts as empty; a longer text is cut, with a
    // report).
    void Set(const char* pTypeName, const char* pDisplayName, const char* pCategory, const char* pDescription);

    char m_acTypeName[TextCapacity] = {};
    char m_acDisplayName[TextCapacity] = {};
    char m_acCategory[TextCapacity] = {};
    char m_acDescription[TextCapacity] = {};
};
static_assert(sizeof(CustomNodeHeaderDesc) == 512, "a custom node header is 512 bytes");

// One property of a custom node type as tools show it.
struct CustomNodePropertyDesc
{
    static constexpr uint32 NameCapacity = 64;
    char m_acName[NameCapacity] = {};
    uint32 m_uiType = 0;
};

// The name of a node type that a custom node type depends on.
struct CustomNodeDependency
{
    static constexpr uint32 NameCapacity = 128;
    char m_acName[NameCapacity] = {};
};

// Makes the instances of one custom node type. Registered with the plugin
// manager under the identifier of its header's type name; the factory stays
// the plug-in's. Its descriptor (header, properties, dependencies) is what
// the plugin manager and the tools find the type by.
//
// Engine objects that the factory passes through without looking into them
// (load contexts, instances) travel as untyped pointers; the engine and the
// plug-in agree on what they are.
class CustomNodeFactory
{
public:
    virtual ~CustomNodeFactory() = default;
    // The node behaviour of this type; the manager takes ownership of it.
    virtual PluginNode* GetPluginNode() = 0;
    virtual void* CreateInstance(const PluginJsonValue& kValue, void* _pContextA, void* _pContextB) = 0;
    virtual void DestroyInstance(void* _pInstance) = 0;

    const char* GetTypeName() const { return m_kHeader.m_acTypeName; }

    CustomNodeHeaderDesc m_kHeader;
    TarnRenderer::TArray<CustomNodePropertyDesc> m_kProperties;
    TarnRenderer::TArray<CustomNodeDependency> m_kDependencies;
};

}  // namespace TarnEngine

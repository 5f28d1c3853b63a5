#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Utils/JsonDocument.h"
#include "Utils/ManagedJsonDocument.h"

namespace TarnRenderer {
class Link;
}

// The classes a plug-in implements to add component types and custom node
// types to the engine's containers, and the descriptors through which the
// plugin manager and the tools find them.
//
// Engine objects that these interfaces pass through without looking into
// them (prefab instances, load contexts, scene nodes, step contexts) travel
// as untyped pointers; the engine and the plug-in agree on what they are.
namespace TarnEngine {

// The engine's JSON types (Common::JsonDocument), by the names plug-ins
// know them by.
using PluginJsonPool = Common::JsonPool;
using PluginJsonDocument = Common::JsonDocument;
using PluginJsonValue = Common::JsonValue;
using Common::CManagedJsonDocument;

// The time step of one engine frame, passed by value.
struct StepTime
{
    uint32 uiElapsedMs = 0;
};

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
    uint32 m_uiContainerTypeId = 0; // identifier of m_acContainerType
    uint32 m_uiComponentId = 0;     // identifier of m_acName: the builder's registry key
    TarnRenderer::TArray<CustomComponentPropertyDesc> m_kProperties;
};

// Data loaded from a container file for one component type (an add-in
// object), stamped with the component ID of the builder that made it.
//
// The destructor is virtual and declared after the two slots, so the slots
// keep their places and the container that owns data objects can delete
// them through this interface (TARN_DELETE).
class IPluginComponentData
{
public:
    virtual IPluginComponentData* SetTypeID(uint32 uiTypeId) = 0;
    virtual uint32 GetTypeID() const = 0;
    virtual ~IPluginComponentData() = default;
};

// Data of one component type: a parameter record T and the type ID.
template <class T> class PluginData : public IPluginComponentData
{
public:
    IPluginComponentData* SetTypeID(uint32 uiTypeId) override
    {
        m_uiTypeId = uiTypeId;
        return this;
    }
    uint32 GetTypeID() const override { return m_uiTypeId; }
    // Reads the parameters from the add-in's document.
    virtual bool Load(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB) = 0;

    T& GetParam() { return m_kParam; }
    const T& GetParam() const { return m_kParam; }

protected:
    T m_kParam{};
    uint32 m_uiTypeId = kInvalidIndex;
};

// A plug-in's per-link component. The base behaviours do nothing.
class PluginComponent
{
public:
    virtual ~PluginComponent() = default;
    // Once per engine step for every built link.
    virtual void Update(void* _pStepContext, TarnRenderer::Link* _pLink, StepTime kTime)
    {
        (void)_pStepContext;
        (void)_pLink;
        (void)kTime;
    }
    // The data object the component was built from; null in the base.
    virtual IPluginComponentData* GetData() { return nullptr; }
    virtual void SetData(IPluginComponentData* _pData) { (void)_pData; }
    virtual bool IsActive() { return false; }
    virtual void Activate(bool bActive) { (void)bActive; }
};

// Adds one component type to one container type. Registered with the
// plugin manager under its descriptor's component ID.
class PluginComponentBuilder
{
public:
    virtual ~PluginComponentBuilder() = default;

    // Creates or reuses the component of this link from this data, appends
    // the link to links and returns the component.
    virtual PluginComponent* BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                            IPluginComponentData* _pData) = 0;
    // Creates one data object from an add-in's parsed "Json" text, stamps it
    // with the component ID and appends it to kOut.
    virtual bool BuildComponentData(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                                    TarnRenderer::TArray<IPluginComponentData*>& kOut) = 0;
    // A value handed through the manager's NotifyComponentBuilder.
    virtual void OnBuilderEvent(void* _pValue) = 0;
    // Once per engine step: updates the component of every link in links.
    virtual void UpdateComponents(void* _pStepContext, StepTime kTime) = 0;
    // The builder's descriptor, alive as long as the builder.
    virtual CustomComponentDesc* GetDesc() = 0;
    // Releases the component of a built link and forgets the link; a link
    // that is not in links is left alone.
    virtual void DestroyComponent(TarnRenderer::Link* _pLink) = 0;

    // The links that carry one of this builder's components, in build order.
    TarnRenderer::TArray<TarnRenderer::Link*, unsigned int> links;
};

// Behaviour of a custom node type, supplied by its factory. The manager owns
// the node it is handed and deletes it with TARN_DELETE, so a factory makes
// it with TARN_NEW. The base behaviours that would reach engine scene nodes
// do nothing until the engine's node types exist.
class PluginNode
{
public:
    virtual ~PluginNode() = default;
    virtual bool OnNodeCreated(void* _pNode) = 0;
    virtual void OnNodeDestroyed(void* _pNode) = 0;
    // Shows or hides the node (the node takes the inverted flag: hidden).
    virtual void SetNodeVisible(void* _pNode, bool bVisible)
    {
        (void)_pNode;
        (void)bVisible;
    }
    virtual void OnNodeValue(void* _pValue, uint32 uiValue)
    {
        (void)_pValue;
        (void)uiValue;
    }
    // Hands the source record's position and its two further parts to the
    // scene node.
    virtual void ApplyTransform(void* _pSceneNode, const void* _pSource)
    {
        (void)_pSceneNode;
        (void)_pSource;
    }
    virtual void SetNodeSelected(void* _pNode, bool bSelected)
    {
        (void)_pNode;
        (void)bSelected;
    }
    // Appends the value to the list when there is a list.
    virtual void CollectValue(void* _pValue, TarnRenderer::TArray<void*>* _pList);
    virtual void OnNodeEvent() {}
    virtual uint32 QueryValue(void* _pValue, uint32 uiKind)
    {
        (void)_pValue;
        (void)uiKind;
        return 0;
    }
    virtual uint32 GetNodeFlags() { return 0; }
    // Called by the engine on every registered node with two values.
    virtual void OnEngineValues(uint32 uiFirst, uint32 uiSecond)
    {
        (void)uiFirst;
        (void)uiSecond;
    }
};

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
// the plug-in's.
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

} // namespace TarnEngine

#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"

namespace TarnEngine {

// Behaviour of a custom node type, supplied by its factory. The manager owns
// the node it is handed and deletes it with TARN_DELETE, so a factory makes
// it with TARN_NEW. The base behaviours that would reach engine scene nodes
// do nothing until the engine's node types exist.
//
// Engine objects that the node is handed without looking into them (scene
// nodes, values) travel as untyped pointers; the engine and the plug-in
// agree on what they are.
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

}  // namespace TarnEngine

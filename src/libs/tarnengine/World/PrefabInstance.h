#pragma once

#include "Core/Types.h"
#include "Scene/Link.h"

namespace TarnRenderer {
class AnimActor;
}

namespace TarnEngine {

class PrefabContainer;
struct WorldContext;

// One placed instance of a prefab: its link (the scene object that root
// motion moves and that carries the components' user data), its anim actor
// on the container's skeleton, and the world it lives in. Plug-in builders
// receive it as the untyped prefab instance of their calls.
//
// Owned by the world that created it (CEngine::InstancePrefab); it owns its
// link. The container and the world context outlive it.
class PrefabInstance
{
public:
    PrefabInstance(PrefabContainer* pContainer, const WorldContext* pWorld) : m_pContainer(pContainer), m_pWorld(pWorld)
    {
    }
    PrefabInstance(const PrefabInstance&) = delete;
    PrefabInstance& operator=(const PrefabInstance&) = delete;

    TarnRenderer::Link* GetLink() { return &m_kLink; }
    const TarnRenderer::Link* GetLink() const { return &m_kLink; }
    PrefabContainer* GetContainer() const { return m_pContainer; }
    const WorldContext* GetWorldContext() const { return m_pWorld; }
    TarnRenderer::AnimActor* GetAnimActor() const { return m_pAnimActor; }
    void SetAnimActor(TarnRenderer::AnimActor* pAnimActor) { m_pAnimActor = pAnimActor; }
    // The instance index in the container's skeleton (kInvalidIndex: none).
    uint32 GetSkeletonInstance() const { return m_uiSkeletonInstance; }
    // The world's handle of the instance (see CWorld::FindInstance); 0 until
    // the world has placed it.
    uint64 GetHandle() const { return m_uiHandle; }
    void SetHandle(uint64 uiHandle) { m_uiHandle = uiHandle; }
    void SetSkeletonInstance(uint32 uiInstance) { m_uiSkeletonInstance = uiInstance; }

private:
    TarnRenderer::Link m_kLink;
    PrefabContainer* m_pContainer;
    const WorldContext* m_pWorld;
    TarnRenderer::AnimActor* m_pAnimActor = nullptr;
    uint32 m_uiSkeletonInstance = kInvalidIndex;
    uint64 m_uiHandle = 0;
};

}  // namespace TarnEngine

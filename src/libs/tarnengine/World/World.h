#pragma once

#include "AnimManager/AnimManager.h"
#include "Containers/TArray.h"
#include "Containers/TMap.h"
#include "Core/Types.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Scene/UserData.h"
#include "World/WorldContext.h"

namespace Common {
class CWorkerPool;
}

namespace TarnEngine {

class PrefabContainer;
class PrefabInstance;

// The engine's world: the prefab instances placed in it, the animation
// manager with the world's animation session, and the pool of link user-data
// records of its scene. What its objects need of it is the WorldContext
// (world index = the animation session's index).
//
// Instancing builds, in order, the skeleton instance on the container's
// skeleton, the link at the given place, the anim actor in the world's
// session, then one component per data object of the container
// (PluginDataContainerImpl::BuildComponent, with the instance as the prefab
// instance). Removal undoes it in reverse: the builders tear their components
// down (DestroyComponent), the components kept in the link's user data are
// destroyed and their records given back to the pool, then the anim actor,
// the skeleton instance and the instance go. The components go before the
// actor because their destructors may still use it.
//
// Link user data on an instance's link holds only plug-in components: every
// record is a typed record (UserDataHelper.h) whose elements are objects
// derived from PluginComponent, all of one size per record.
//
// Every placed instance gets a handle, a number the world never hands out
// again: whatever must refer to an instance beyond a call (remote objects)
// holds its handle and looks the instance up with FindInstance, which
// answers null once the instance is removed. A handle never comes to mean
// another instance, however many are placed and removed.
//
// Ownership: owns its instances, its animation manager (and so its session
// and the anim actors) and its user-data pool. The containers of its
// instances are the engine's and must outlive the instances: the engine
// removes every instance before it deletes its containers. Instances still
// present at destruction are removed then.
//
// Threads: engine thread.
class CWorld
{
public:
    // How far from the origin, in metres on each axis, a remote client may
    // place an instance: float positions keep millimetres up to there.
    static constexpr float kWorldBound = 100000.0f;

    CWorld();
    ~CWorld();
    CWorld(const CWorld&) = delete;
    CWorld& operator=(const CWorld&) = delete;

    // A new instance of a loaded container at a place. Null after a report
    // for a null or unloaded container or when the character's skeleton
    // instance or anim actor cannot be made. A data object whose component
    // cannot be built (no builder registered for it) is reported; the
    // instance is made without that component.
    PrefabInstance* InstancePrefab(PrefabContainer* pContainer, const Math::LocalVector3& kPosition,
                                   const Math::Quaternion& kRotation);
    // Tears an instance down and deletes it. An instance that is not one of
    // this world's is reported and left alone (false).
    bool RemoveInstance(PrefabInstance* pInstance);
    // Removes every instance, newest first.
    void RemoveAllInstances();

    // Advances the world's animation session by uiElapsedMs, on the pool's
    // threads when one is given (see CAnimManager::Tick).
    void Tick(uint32 uiElapsedMs, Common::CWorkerPool* pPool = nullptr);
    // Around work done on several threads for distinct characters outside
    // the tick (see CAnimManager::BeginParallelPhase).
    void BeginParallelPhase() { m_kAnimManager.BeginParallelPhase(m_kContext.uiWorldIndex); }
    void EndParallelPhase() { m_kAnimManager.EndParallelPhase(m_kContext.uiWorldIndex); }

    const WorldContext& GetContext() const { return m_kContext; }
    uint32 GetIndex() const { return m_kContext.uiWorldIndex; }
    TarnRenderer::CAnimManager& GetAnimManager() { return m_kAnimManager; }
    TarnRenderer::UserDataPool& GetUserDataPool() { return m_kUserDataPool; }
    const TarnRenderer::TArray<PrefabInstance*>& GetInstances() const { return m_kInstances; }
    bool HasInstance(const PrefabInstance* pInstance) const;
    // The instance of a handle, or null when it was removed (or never was).
    PrefabInstance* FindInstance(uint64 uiHandle) const;
    // Number of instances of a container.
    uint32 CountInstances(const PrefabContainer* pContainer) const;

private:
    // Destroys the components stored in the link's user data and gives the
    // records back to the pool.
    void DestroyLinkComponents(PrefabInstance& kInstance);

    // Declared first: the records go back to the pool before it goes.
    TarnRenderer::UserDataPool m_kUserDataPool;
    TarnRenderer::CAnimManager m_kAnimManager;
    WorldContext m_kContext;
    TarnRenderer::TArray<PrefabInstance*> m_kInstances;
    TarnRenderer::TMap<uint64, PrefabInstance*> m_kByHandle;
    uint64 m_uiNextHandle = 1;
};

}  // namespace TarnEngine

#pragma once

#include "Commands/SingletonManager.h"
#include "Containers/TArray.h"
#include "System/Mutex/Mutex.h"

namespace TarnEngine {
class CommandManager;
}

namespace RPC {

class CGaitComponent;
class CPrefab;

// The remote interface of the Gait builder ("GaitComponentBuilderRpc"), a
// singleton.
class IRPCStub_CGaitComponentBuilder : public TarnEngine::CSingletonManager<IRPCStub_CGaitComponentBuilder>
{
public:
    virtual CGaitComponent* GetPrefabComponent(CPrefab* const& _pPrefab) = 0;
};

// Hands out the remote facade of a prefab's Gait component: one facade per
// placed instance (known by the world's handle), shared by every client that
// asks for the same prefab.
//
// The registry lists the facades handed out and still alive, in creation
// order; it does not own them (their last ReleaseRef destroys them, and they
// leave the registry then). Destroying the singleton empties the registry
// without destroying the facades. The registry has its own lock, held for a
// whole lookup-or-create, so that concurrent requests for one prefab still
// give one facade.
//
// Created and destroyed by the Gait plug-in's entry points; its construction
// records it as the singleton of its interface with the pointer resolver.
class CGaitComponentBuilderRpc : public IRPCStub_CGaitComponentBuilder
{
public:
    using Registry = TarnRenderer::TArray<CGaitComponent*, unsigned int>;

    CGaitComponentBuilderRpc() = default;
    ~CGaitComponentBuilderRpc() override;

    // The facade of the prefab's instance, made on first request. Reported
    // ("_pPrefab") with null for a null prefab. A prefab without a Gait
    // component gets a facade all the same. A prefab whose instance was
    // removed is refused ("The prefab has been removed"), and so is a new
    // facade while kMaxObjectsPerType facades are held.
    CGaitComponent* GetPrefabComponent(CPrefab* const& _pPrefab) override;

    // The number of facades in the registry.
    uint32 GetFacadeCount() const;
    // Takes a facade out of the registry (done by the facade as it goes).
    void Forget(const CGaitComponent* pFacade);

private:
    Common::SelfLocked<Registry> m_kFacades;
};

// Registers the eleven remote commands of the Gait plug-in with a command
// manager, builder class first: "GaitComponentBuilderRpc" ReleaseRef,
// GetRPCSingleton, GetPrefabComponent; "GaitComponentRpc" ReleaseRef, Reset,
// SetRotation, SetSpeed, ReloadFromJson, Activate, IsActive, GetState. Pairs
// the manager holds already keep their command. None is safe off the engine
// thread.
void RegisterGaitRemoteClasses(TarnEngine::CommandManager& kManager);

}  // namespace RPC

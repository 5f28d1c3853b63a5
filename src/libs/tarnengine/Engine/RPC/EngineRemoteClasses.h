#pragma once

#include "Commands/InstanceManager.h"
#include "Commands/SingletonManager.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnEngine {
class CommandManager;
class PrefabInstance;
}  // namespace TarnEngine

// The engine's own remote classes, as far as a client needs them to reach a
// plug-in's component: "Root" (the singleton a client starts from),
// "PrefabManager" (loads and removes placed prefabs) and "Prefab" (one placed
// prefab: its link's position and orientation).
namespace RPC {

class CPrefab;
class CPrefabManager;

class IRPCStub_CPrefab : public TarnEngine::CInstanceManager<IRPCStub_CPrefab>
{
public:
    virtual Math::LocalVector3 GetPosition() = 0;
    virtual Math::Quaternion GetOrientation() = 0;
    virtual void SetPosition(const Math::LocalVector3& kPosition) = 0;
    virtual void SetOrientation(const Math::Quaternion& kOrientation) = 0;
};

// The remote face of one placed prefab. Made by the prefab manager (created
// with TARN_NEW; the last ReleaseRef deletes it). It refers to its instance
// by the world's handle, so that it can never reach an instance that was
// removed, nor another one placed later: once its instance is removed, its
// methods refuse the call with "The prefab has been removed".
class CPrefab : public IRPCStub_CPrefab
{
public:
    explicit CPrefab(uint64 uiHandle) : m_uiHandle(uiHandle) {}
    ~CPrefab() override;

    Math::LocalVector3 GetPosition() override;
    Math::Quaternion GetOrientation() override;
    // Refused for a position farther than CWorld::kWorldBound from the
    // origin on any axis.
    void SetPosition(const Math::LocalVector3& kPosition) override;
    // The orientation arrives normalised.
    void SetOrientation(const Math::Quaternion& kOrientation) override;

    // The placed instance, or null once it was removed.
    TarnEngine::PrefabInstance* GetInstance() const;
    uint64 GetHandle() const { return m_uiHandle; }

private:
    // The placed instance; refuses the running call when it was removed.
    TarnEngine::PrefabInstance* FindInstanceChecked() const;

    uint64 m_uiHandle;
};

class IRPCStub_CPrefabManager : public TarnEngine::CInstanceManager<IRPCStub_CPrefabManager>
{
public:
    virtual CPrefab* LoadFile(const char* const& pPath) = 0;
    virtual bool RemovePrefab(CPrefab* const& pPrefab) = 0;
};

class CPrefabManager : public IRPCStub_CPrefabManager
{
public:
    // "LoadFile": loads a prefab file (absolute or relative to the data root)
    // and places one instance; its Prefab, or null after a report. Refused
    // while kMaxObjectsPerType Prefab objects are held.
    CPrefab* LoadFile(const char* const& pPath) override;
    // "RemovePrefab": removes the placed instance; false when it is gone.
    bool RemovePrefab(CPrefab* const& pPrefab) override;
};

class IRPCStub_CRoot : public TarnEngine::CSingletonManager<IRPCStub_CRoot>
{
public:
    virtual bool IsLoadingFinished() = 0;
    virtual bool KeepAlive() = 0;
    virtual uint64 GetExecutedCount() = 0;
    virtual void ForceQuit() = 0;
    virtual CPrefabManager* GetPrefabManager() = 0;
};

// The "Root" singleton: what a client asks first.
class CRoot : public IRPCStub_CRoot
{
public:
    CRoot() = default;
    ~CRoot() override;

    bool IsLoadingFinished() override { return true; }
    bool KeepAlive() override { return true; }
    // How many remote commands the engine has run successfully, this one
    // included, on any thread.
    uint64 GetExecutedCount() override;
    // Asks the engine's host to end its loop (see CEngine::RequestQuit).
    void ForceQuit() override;
    // The prefab manager, made on first use; the root holds one reference
    // of its own. A client that releases more references than it was given
    // can take that one too, which destroys the manager: the next call then
    // makes a new one (with a new ID).
    CPrefabManager* GetPrefabManager() override;

private:
    // The manager of m_uiPrefabManagerID while it lives, else null.
    CPrefabManager* FindPrefabManager() const;

    uint32 m_uiPrefabManagerID = kInvalidIndex;
};

}  // namespace RPC

namespace TarnEngine {

// Registers "Root", "PrefabManager" and "Prefab" with a command manager.
void RegisterRemoteClasses(CommandManager& kManager);

}  // namespace TarnEngine

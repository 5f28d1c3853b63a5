#pragma once

#include <optional>

#include "Commands/CommandManager.h"
#include "Commands/InstanceManager.h"
#include "Commands/ParamReader.h"
#include "Commands/SingletonManager.h"
#include "Containers/TArray.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnEngine {
class PrefabContainer;
class PrefabInstance;
}  // namespace TarnEngine

// The engine's own remote classes, as far as a client needs them to reach a
// plug-in's component: "Root" (the singleton a client starts from, and the
// list of every remote class), "PrefabManager" (loads, lists and removes
// placed prefabs) and "Prefab" (one placed prefab: its link's position and
// orientation).
namespace RPC {

class CPrefab;
class CPrefabManager;

// "PrefabManager"."ListPrefabs": the placed prefab instances, in the order
// they were placed, as [{"Id": n, "File": text, "Name": text}, ...]. "Id" is
// the world's handle of the instance (never given to another one), "File"
// the prefab file relative to the data root (absolute when it lies
// elsewhere), "Name" the prefab's own name.
class CPrefabList
{
public:
    static constexpr const char* kRemoteTypeName = "PrefabList";

    struct SEntry
    {
        uint64 uiId = 0;
        // The engine's, kept until its shutdown.
        const TarnEngine::PrefabContainer* pContainer = nullptr;
    };

    void WriteJson(TarnEngine::JSonParamReader::ResultWriter& kWriter) const;

    TarnRenderer::TArray<SEntry> m_kEntries;
};

// "Root"."GetClasses": every registered remote class with its methods, as
// the command registry describes them, in registration order:
//   [{"Class": name, "Singleton": bool,
//     "Methods": [{"Method": name, "Args": [type, ...], "Result": type,
//                  "UseTcpThread": bool}, ...]}, ...]
// (type names: see Commands/RemoteTypes.h; "UseTcpThread" tells whether the
// method may run on the connection thread).
class CClassList
{
public:
    static constexpr const char* kRemoteTypeName = "ClassList";

    void WriteJson(TarnEngine::JSonParamReader::ResultWriter& kWriter) const;

    // The registry's own texts.
    TarnRenderer::TArray<TarnEngine::SRemoteMethodInfo> m_kMethods;
};

class IRPCStub_CPrefab : public TarnEngine::CInstanceManager<IRPCStub_CPrefab>
{
public:
    virtual Math::LocalVector3 GetPosition() = 0;
    virtual Math::Quaternion GetOrientation() = 0;
    virtual void SetPosition(const Math::LocalVector3& kPosition) = 0;
    virtual void SetOrientation(const Math::Quaternion& kOrientation) = 0;
    virtual uint64 GetId() = 0;
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
    // The instance's "Id" in the prefab list, also once it was removed.
    uint64 GetId() override { return m_uiHandle; }

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
    virtual CPrefab* LoadFile(const char* const& pPath, const std::optional<Math::LocalVector3>& kPosition,
                              const std::optional<float>& fHeadingDegrees) = 0;
    virtual bool RemovePrefab(CPrefab* const& pPrefab) = 0;
    virtual CPrefabList ListPrefabs() = 0;
    virtual CPrefab* GetPrefab(const uint64& uiId) = 0;
};

class CPrefabManager : public IRPCStub_CPrefabManager
{
public:
    // "LoadFile": loads a prefab file (absolute or relative to the data root)
    // and places one instance at kPosition (the origin without one), turned
    // fHeadingDegrees about Z (positive turns left; 0 without one); its
    // Prefab. The call is refused when the file cannot be loaded (with the
    // loader's text, "<file>: <member>: <problem>"), for a position farther
    // than CWorld::kWorldBound from the origin on an axis, while
    // the engine's most instances (CEngine::GetMaxInstances) are placed, and while
    // kMaxObjectsPerType Prefab objects are held.
    CPrefab* LoadFile(const char* const& pPath, const std::optional<Math::LocalVector3>& kPosition,
                      const std::optional<float>& fHeadingDegrees) override;
    // "RemovePrefab": removes the placed instance; false when it is gone.
    bool RemovePrefab(CPrefab* const& pPrefab) override;
    // "ListPrefabs": every placed instance, the host's own included.
    CPrefabList ListPrefabs() override;
    // "GetPrefab": a new Prefab object for the instance of a listed "Id".
    // Refused for an Id no placed instance has, and while
    // kMaxObjectsPerType Prefab objects are held.
    CPrefab* GetPrefab(const uint64& uiId) override;
};

class IRPCStub_CRoot : public TarnEngine::CSingletonManager<IRPCStub_CRoot>
{
public:
    virtual bool IsLoadingFinished() = 0;
    virtual bool KeepAlive() = 0;
    virtual uint64 GetExecutedCount() = 0;
    virtual void ForceQuit() = 0;
    virtual CPrefabManager* GetPrefabManager() = 0;
    virtual CClassList GetClasses() = 0;
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
    // Every remote class of the command registry the engine's classes were
    // registered with (RegisterRemoteClasses binds it); refused before.
    CClassList GetClasses() override;

    void SetCommandManager(TarnEngine::CommandManager* pCommands) { m_pCommands = pCommands; }

private:
    // The manager of m_uiPrefabManagerID while it lives, else null.
    CPrefabManager* FindPrefabManager() const;

    uint32 m_uiPrefabManagerID = kInvalidIndex;
    // Not owned: the endpoint's, which outlives the root.
    TarnEngine::CommandManager* m_pCommands = nullptr;
};

}  // namespace RPC

namespace TarnEngine {

// Registers "Root", "PrefabManager" and "Prefab" with a command manager,
// and binds the "Root" singleton, when there is one, to that manager's list
// of remote classes.
void RegisterRemoteClasses(CommandManager& kManager);

}  // namespace TarnEngine

#pragma once

#include <atomic>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Engine/EngineNet.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Push/StepPublishers.h"

namespace Common {
class CInputErrors;
}

namespace DataProvider {
class DataPoviderInterface;
}

namespace Common {
class CWorkerPool;
}

namespace TarnEngine {

class BasePluginManager;
class CWorld;
class IPluginManager;
class PrefabContainer;
class PrefabInstance;

// What the engine runs as. The editor modes are set by the start-up option
// "-mode"; without it the engine runs in the default mode.
namespace EEngineMode {
enum Type : uint32
{
    Default = 0,
    MaterialEditor = 3,  // "material_editor"
    WorldEditor = 4,     // "world_editor"
    PrefabEditor = 5,    // "prefab_editor"
    LightEditor = 6,     // "light_editor"
};
}  // namespace EEngineMode

// A function of the host that starts the plug-ins linked into it, typically
// with IPluginManager::RegisterStaticPlugin.
using StaticPluginHook = void (*)(IPluginManager* _pManager);

// The engine's start-up parameters. The texts are read during start-up only.
struct SEngineStartup
{
    // The value of "-mode": "material_editor", "world_editor",
    // "prefab_editor" or "light_editor". Null or empty: the default mode;
    // any other name is reported and gives the default mode.
    const char* pModeName = nullptr;
    // Seed of the process-wide random generator, set at start.
    uint32 uiRandomSeed = 0;
    // The data root for the data provider; null leaves the provider's root as
    // it is (empty for a provider the engine creates).
    const char* pDataRoot = nullptr;
    // The folder that holds the "Plugins" folder, ending with '/'. Null or
    // empty: the rule of the mode, "" in the editor modes (the working
    // directory) and "../Toolchain/" otherwise. A host that keeps its
    // plug-ins beside itself passes its own directory.
    const char* pPluginBasePath = nullptr;
    // Whether the plug-in modules of the plug-in folder are started.
    bool bLoadPlugins = false;
    // The folder of the modules itself, in place of <base path>Plugins; null
    // or empty for the rule above.
    const char* pPluginDirectory = nullptr;
    // Called with the plugin manager after the modules (whether or not they
    // were asked for); null for none.
    StaticPluginHook pStaticPluginHook = nullptr;
    // Whether the network endpoint is started (before the plug-ins, which
    // register their remote commands with it), and its options.
    bool bStartNetwork = false;
    SNetOptions kNetOptions;
    // Threads that share a step's component updates and animation tick, the
    // engine thread included: 0 is one per processor, 1 steps on the engine
    // thread alone. The results are the same whatever the count.
    uint32 uiThreads = 1;
    // Most instances the world holds at once (CEngine::kMaxInstances unless
    // a program asks for another bound).
    uint32 uiMaxInstances = 20000;

    // Reads the options this record knows from a command line: "-mode
    // <name>" (the last one counts). pModeName then points into ppArgv.
    void ReadCommandLine(int iArgc, const char* const* ppArgv);
};

// The engine: one per process.
//
// It owns the plugin manager, the data provider when it had to create one,
// the one world, and the prefab containers it loaded (cached by resolved
// path, kept until shutdown). Start-up (CreateInstance) runs in this order:
// the engine becomes the instance, the random generator is seeded, the data
// provider is created when there is none and given the data root, the world
// is made, then the plugin manager, which learns the engine and the data
// provider (handed to plug-ins in their host context) before it starts the
// plug-in modules and the static-plug-in hook runs.
//
// Shutdown (DestroyInstance) runs in this order: every prefab instance is
// removed (its components torn down and destroyed), the plugin manager is
// deleted (plug-ins unregister their builders in their release entries), the
// prefab containers are deleted (with their data objects and skeletons), the
// world is deleted, and the data provider goes if the engine created it. The
// engine stays the instance until its shutdown is over, so plug-ins that
// reach it while they are released find it.
//
// A plug-in module binds its copy of the accessor to the host's engine with
// SetInstance and never destroys it.
//
// Threads: everything runs on the engine thread.
class CEngine
{
public:
    // Makes the engine and starts it. When an engine exists already (made or
    // bound), the call is reported and the existing one is returned. Null
    // only when memory was refused.
    static CEngine* CreateInstance(const SEngineStartup& kStartup);
    // The engine; made with default start-up parameters on first use.
    static CEngine* GetInstance()
    {
        CEngine* pInstance = s_pInstance.load(std::memory_order_acquire);
        return pInstance ? pInstance : CreateInstance(SEngineStartup{});
    }
    static bool HasInstance() { return s_pInstance.load(std::memory_order_acquire) != nullptr; }
    // Binds this module to another module's live engine (null unbinds).
    static void SetInstance(CEngine* pInstance);
    // Shuts down and frees the engine that CreateInstance made; a bound
    // engine is only let go.
    static void DestroyInstance();

    // The mode of a "-mode" name (see SEngineStartup::pModeName); reports
    // "Unknown TarnEngine mode <name>" for a name it does not know.
    static uint32 GetModeFromName(const char* pName);
    // The plug-in base path rule of a mode.
    static const char* GetDefaultPluginBasePath(uint32 uiMode);

    uint32 GetMode() const { return m_uiMode; }
    uint32 GetRandomSeed() const { return m_uiRandomSeed; }
    // Records the seed the process-wide generator was last seeded with.
    void SetRandomSeed(uint32 uiSeed) { m_uiRandomSeed = uiSeed; }
    // The base path the plug-in modules are (or would be) loaded from.
    const char* GetPluginBasePath() const { return m_acPluginBasePath; }
    BasePluginManager* GetPluginManager() const { return m_pPluginManager; }
    DataProvider::DataPoviderInterface* GetDataProvider() const { return m_pDataProvider; }
    CWorld* GetWorld() const { return m_pWorld; }
    // The network endpoint, or null when the start-up did not ask for one.
    CEngineNet* GetEngineNet() const { return m_pEngineNet; }
    // The threads that share a step, null when it runs on the engine thread
    // alone.
    Common::CWorkerPool* GetWorkers() const { return m_pWorkers; }
    // What sends clients their subscribed frames at the end of each step.
    CStepPublishers& GetStepPublishers() { return m_kStepPublishers; }

    // Asks the host's loop to end (the remote "Root"."ForceQuit"); any thread.
    void RequestQuit() { m_bQuitRequested.store(true, std::memory_order_release); }
    bool IsQuitRequested() const { return m_bQuitRequested.load(std::memory_order_acquire); }
    // Runs the remote commands queued for the engine thread; the number run.
    uint32 ProcessCommands();

    // The container of a prefab file (path relative to the data root, or
    // absolute), loaded on the first request. Null when the file is refused:
    // the message ("<file>: <member>: <problem>") is logged and its problem
    // copied to *pErrors when given; nothing is cached then.
    PrefabContainer* LoadPrefab(const char* pPath, Common::CInputErrors* pErrors = nullptr);
    // The loaded container of a prefab file, or null; loads nothing.
    PrefabContainer* FindPrefab(const char* pPath) const;
    uint32 GetPrefabCount() const { return m_kPrefabs.GetSize(); }

    // A new instance of a container this engine loaded, placed in the world
    // (see CWorld::InstancePrefab). Null after a report for another
    // container.
    PrefabInstance* InstancePrefab(PrefabContainer* pContainer, const Math::LocalVector3& kPosition,
                                   const Math::Quaternion& kRotation);
    // Tears an instance down (see CWorld::RemoveInstance). False after a
    // report for an instance that is not in the world.
    bool RemoveInstance(PrefabInstance* pInstance);
    // The placed instance of a world handle (see CWorld::FindInstance), or
    // null: removed, or no engine.
    static PrefabInstance* FindPlacedInstance(uint64 uiHandle);
    // Most instances the world holds at once by default; placing more than
    // the engine's bound (GetMaxInstances) is refused.
    static constexpr uint32 kMaxInstances = 20000;
    uint32 GetMaxInstances() const { return m_uiMaxInstances; }

    // One engine step: the queued remote commands run, the plug-ins'
    // builders update their components with the step time
    // (UpdateComponentBuilders with no step context), then the world's
    // animation advances by the same time, then the step publishers send
    // what the step made of the world.
    void Step(uint32 uiElapsedMs);

private:
    static constexpr uint32 kMaxBasePathLength = 260;

    CEngine() = default;
    ~CEngine();
    CEngine(const CEngine&) = delete;
    CEngine& operator=(const CEngine&) = delete;

    void Start(const SEngineStartup& kStartup);
    // Writes the resolved form of a data path; false when it does not fit.
    bool ResolveDataPath(const char* pPath, char* pOut, size_t uiCapacity) const;
    // The loaded container of a path resolved already, or null.
    PrefabContainer* FindResolvedPrefab(const char* pResolvedPath) const;

    static std::atomic<CEngine*> s_pInstance;
    static std::atomic<bool> s_bOwnedInstance;

    uint32 m_uiMode = EEngineMode::Default;
    uint32 m_uiRandomSeed = 0;
    BasePluginManager* m_pPluginManager = nullptr;
    DataProvider::DataPoviderInterface* m_pDataProvider = nullptr;
    bool m_bOwnsDataProvider = false;
    CWorld* m_pWorld = nullptr;
    CEngineNet* m_pEngineNet = nullptr;
    CStepPublishers m_kStepPublishers;
    Common::CWorkerPool* m_pWorkers = nullptr;  // null when the step runs on one thread
    uint32 m_uiMaxInstances = kMaxInstances;
    std::atomic<bool> m_bQuitRequested{false};
    TarnRenderer::TArray<PrefabContainer*> m_kPrefabs;
    char m_acPluginBasePath[kMaxBasePathLength] = {};
};

}  // namespace TarnEngine

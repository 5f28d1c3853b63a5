#pragma once

#include "Containers/TArray.h"
#include "Containers/TMap.h"
#include "Core/Types.h"
#include "Plugins/CustomNodeFactory.h"
#include "Plugins/ModuleLoader.h"
#include "Plugins/PluginComponent.h"
#include "Plugins/PluginComponentBuilder.h"
#include "Plugins/PluginComponentData.h"
#include "Plugins/PluginJson.h"
#include "Plugins/PluginNode.h"
#include "Plugins/PluginParam.h"
#include "Plugins/StepTime.h"

namespace Common {
class CWorkerPool;
}

namespace TarnEngine {

class IPluginManager;

// A plug-in's entry points, as the manager keeps them.
using InitPluginFunc = bool (*)(PluginParam* _pParam);
using ReleasePluginFunc = bool (*)(IPluginManager* _pManager);
// A named step's callback: takes the step's argument.
using StepCallback = void (*)(void* _pArgument);

// The engine's registry of plug-ins and what they add.
//
// It starts plug-in modules (and plug-ins linked into the host), keeps their
// release entries for shutdown, and keeps three registries that plug-ins
// fill, each keyed by the identifier (GenerateUIntIdFromString, seed 0) of a
// name: custom node factories and their nodes by node type name, component
// builders by component name. The engine's containers and its update loop
// reach every plug-in only through this interface.
//
// Threads: none of it is locked. Loading, registration and shutdown run on
// the engine thread; BuildComponentData may run on a loader thread and only
// reads the registries, so builders are registered before the first
// container loads.
class IPluginManager
{
public:
    virtual ~IPluginManager() = default;

    // Calls UpdateComponents(_pStepContext, kTime) of every builder, in key
    // order.
    // Updates every builder's components; with a pool, those of builders
    // that allow it in parallel (PluginComponentBuilder::GetParallelComponentCount).
    virtual void UpdateComponentBuilders(void* _pStepContext, StepTime kTime, Common::CWorkerPool* pPool = nullptr) = 0;
    // Calls the callbacks of the named step in registration order.
    virtual void CallStepCallbacks(const char* pStepName, void* _pArgument) = 0;
    // Starts the plug-in modules of the directory pBasePath + "Plugins".
    virtual bool LoadPlugins(const char* pBasePath) = 0;
    // Starts a plug-in linked into the host.
    virtual bool RegisterStaticPlugin(InitPluginFunc pInit, ReleasePluginFunc pRelease) = 0;
    virtual void RegisterCustomNode(CustomNodeFactory* pFactory) = 0;
    virtual void UnregisterCustomNode(const char* pTypeName) = 0;
    virtual void RegisterComponentBuilder(PluginComponentBuilder* pBuilder) = 0;
    virtual void UnregisterComponentBuilder(uint32 uiComponentId) = 0;
    virtual PluginNode* GetPluginNode(const char* pTypeName) = 0;
    virtual void* CreateNodeInstance(const char* pTypeName, const PluginJsonValue& kValue, void* _pContextA,
                                     void* _pContextB) = 0;
    virtual void DestroyNodeInstance(const char* pTypeName, void* _pInstance) = 0;
    virtual PluginComponent* BuildComponent(uint32 uiComponentId, void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                            IPluginComponentData* _pData) = 0;
    virtual PluginComponent* BuildComponentByName(const char* pComponentName, void* _pPrefabInstance,
                                                  TarnRenderer::Link* _pLink, IPluginComponentData* _pData) = 0;
    // Hands an add-in object {"Type": name, "Json": text} of a container of
    // the given short type name to the builders of that name and container.
    virtual bool BuildComponentData(const char* pContainerType, const PluginJsonValue& kAddIn, void* _pContextA,
                                    void* _pContextB, TarnRenderer::TArray<IPluginComponentData*>& kOut) = 0;
    virtual void NotifyComponentBuilder(const char* pComponentName, void* _pValue) = 0;
    virtual void DestroyComponent(uint32 uiComponentId, void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                  IPluginComponentData* _pData) = 0;
    virtual void RegisterStepCallback(const char* pStepName, StepCallback pCallback) = 0;
    virtual void UnregisterStepCallback(const char* pStepName, StepCallback pCallback) = 0;

    // Read access for the engine's tools (node type lists, builder lists).
    const TarnRenderer::TMap<unsigned int, CustomNodeFactory*>& GetCustomNodeFactories() const
    {
        return m_kCustomNodeFactories;
    }
    const TarnRenderer::TMap<unsigned int, PluginNode*>& GetPluginNodes() const { return m_kPluginNodes; }
    const TarnRenderer::TMap<unsigned int, PluginComponentBuilder*>& GetComponentBuilders() const
    {
        return m_kComponentBuilders;
    }

protected:
    // Node type ID -> the plug-in's factory (not owned).
    TarnRenderer::TMap<unsigned int, CustomNodeFactory*> m_kCustomNodeFactories;
    // Node type ID -> the node its factory supplied (owned).
    TarnRenderer::TMap<unsigned int, PluginNode*> m_kPluginNodes;
    // Component ID -> the plug-in's builder (not owned).
    TarnRenderer::TMap<unsigned int, PluginComponentBuilder*> m_kComponentBuilders;
};

// The engine's plugin manager.
//
// Ownership: owns the plugin nodes that factories hand it and the lists of
// step callbacks; builders and factories stay the plug-ins'. Destruction
// calls every kept release entry with the manager, in start order (the
// plug-ins unregister and delete their objects there), then deletes the
// plugin nodes still registered and the step lists.
//
// Modules are loaded from the directory pBasePath + "Plugins" (the engine
// passes "" in its editor modes, "../Toolchain/" otherwise). The host context
// handed to InitPlugin carries the memory manager instance of the host and
// the engine, data provider and editor pick callback set below (null until
// set).
//
// One plug-in runs once. A component builder registered under the ID of a
// builder already registered is refused, and the first one stays. A module
// that meets such a refusal while it starts is refused as a whole, like a
// second file of a module already loaded (a link to it): the line "plugin
// <path> refused: ..." names both files, a module that had started is
// released at once (its unregistrations cannot reach the builders of
// others), and it is unloaded when it left nothing registered. Other
// modules, started or not, are never unloaded.
class BasePluginManager : public IPluginManager
{
public:
    BasePluginManager() = default;
    ~BasePluginManager() override;
    BasePluginManager(const BasePluginManager&) = delete;
    BasePluginManager& operator=(const BasePluginManager&) = delete;

    void UpdateComponentBuilders(void* _pStepContext, StepTime kTime, Common::CWorkerPool* pPool = nullptr) override;
    void CallStepCallbacks(const char* pStepName, void* _pArgument) override;
    bool LoadPlugins(const char* pBasePath) override;
    // Starts every module of pDirectory itself (no "Plugins" appended), in
    // name order. False when the folder cannot be read or holds no module.
    bool LoadPluginDirectory(const char* pDirectory);
    bool RegisterStaticPlugin(InitPluginFunc pInit, ReleasePluginFunc pRelease) override;
    void RegisterCustomNode(CustomNodeFactory* pFactory) override;
    void UnregisterCustomNode(const char* pTypeName) override;
    void RegisterComponentBuilder(PluginComponentBuilder* pBuilder) override;
    void UnregisterComponentBuilder(uint32 uiComponentId) override;
    PluginNode* GetPluginNode(const char* pTypeName) override;
    void* CreateNodeInstance(const char* pTypeName, const PluginJsonValue& kValue, void* _pContextA,
                             void* _pContextB) override;
    void DestroyNodeInstance(const char* pTypeName, void* _pInstance) override;
    PluginComponent* BuildComponent(uint32 uiComponentId, void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                    IPluginComponentData* _pData) override;
    PluginComponent* BuildComponentByName(const char* pComponentName, void* _pPrefabInstance,
                                          TarnRenderer::Link* _pLink, IPluginComponentData* _pData) override;
    bool BuildComponentData(const char* pContainerType, const PluginJsonValue& kAddIn, void* _pContextA,
                            void* _pContextB, TarnRenderer::TArray<IPluginComponentData*>& kOut) override;
    void NotifyComponentBuilder(const char* pComponentName, void* _pValue) override;
    void DestroyComponent(uint32 uiComponentId, void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                          IPluginComponentData* _pData) override;
    void RegisterStepCallback(const char* pStepName, StepCallback pCallback) override;
    void UnregisterStepCallback(const char* pStepName, StepCallback pCallback) override;

    // The host objects handed to plug-ins in their host context.
    void SetEngineInstance(void* _pEngine) { m_pEngine = _pEngine; }
    void SetDataProviderInstance(void* _pDataProvider) { m_pDataProvider = _pDataProvider; }
    // Handed only to modules loaded from the plug-in directory; an editor
    // host sets it, other hosts leave it null.
    void SetEditorPickCallback(EditorPickCallback pCallback) { m_pEditorPickCallback = pCallback; }

    // The number of plug-ins started (from modules or registered statically).
    uint32 GetNumStartedPlugins() const { return m_kReleaseEntries.GetSize(); }
    // The number of registered callbacks of a step (duplicates counted).
    uint32 GetNumStepCallbacks(const char* pStepName) const;

private:
    static constexpr uint32 kNoModule = 0xFFFFFFFFu;

    // A module file that was loaded, in load order; the handle is null once
    // a refused module has been unloaded.
    struct SModuleRecord
    {
        char m_acPath[CModuleLoader::MaxPath] = {};
        CModuleLoader::ModuleHandle m_hModule = nullptr;
    };
    struct SStepEntry
    {
        uint32 m_uiStepId = 0;
        StepCallback m_pCallback = nullptr;
    };
    struct SFactoryEntry
    {
        uint32 m_uiKey = 0;
        CustomNodeFactory* m_pFactory = nullptr;
    };
    // What a module does while one of its entry points runs.
    struct SModuleLoad
    {
        uint32 m_uiModule = kNoModule;
        // The first builder refused to it, and the module whose builder
        // stayed (kNoModule: one the host registered).
        bool m_bRefused = false;
        char m_acRefusedBuilder[128] = {};
        uint32 m_uiKeptOwner = kNoModule;
        // Its step callbacks and node factories, looked for again before it
        // is unloaded.
        TarnRenderer::TArray<SStepEntry> m_kSteps;
        TarnRenderer::TArray<SFactoryEntry> m_kFactories;
    };

    // Loads one module file of the directory and starts it.
    bool LoadPlugin(const char* pDirectory, const char* pFileName);
    // Fills the host context for one start.
    void FillParam(PluginParam& kParam, bool bFromDirectory);
    // True when a registry still holds something of the module of kLoad.
    bool HoldsRegistrationsOf(const SModuleLoad& kLoad) const;

    // Step name ID -> its callbacks in registration order (owned lists).
    TarnRenderer::TMap<unsigned int, TarnRenderer::TArray<StepCallback>*> m_kStepCallbacks;
    // ReleasePlugin entries of the started plug-ins, in start order.
    TarnRenderer::TArray<ReleasePluginFunc> m_kReleaseEntries;

    // Every module file loaded, and the module of each builder registered
    // while a module's entry point ran (component ID -> index of
    // m_kModules).
    TarnRenderer::TArray<SModuleRecord> m_kModules;
    TarnRenderer::TMap<unsigned int, uint32> m_kBuilderOwners;
    // The module whose entry point runs, or null.
    SModuleLoad* m_pActiveLoad = nullptr;

    void* m_pEngine = nullptr;
    void* m_pDataProvider = nullptr;
    EditorPickCallback m_pEditorPickCallback = nullptr;
};

}  // namespace TarnEngine

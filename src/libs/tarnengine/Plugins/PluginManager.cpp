#include "Plugins/PluginManager.h"

#include <cstdio>
#include <cstring>

#include <rapidjson/error/en.h>

#include "Plugins/ModuleLoader.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Thread/WorkerPool.h"
#include "Utils/JsonText.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"
#include "Utils/idfromstring.h"

namespace TarnEngine {

namespace {

// Parser memory for an add-in's "Json" text: a component's parameters are a
// few kilobytes.
constexpr size_t kJsonChunkBytes = 16 * 1024;
constexpr size_t kJsonStackBytes = 1024;

constexpr const char* kInitEntryName = "InitPlugin";
constexpr const char* kReleaseEntryName = "ReleasePlugin";

}  // namespace

BasePluginManager::~BasePluginManager()
{
    // The plug-ins unregister and delete their objects here; the registries
    // are still whole while they do. The size is read anew: an entry may
    // start another plug-in.
    for (uint32 uiIdx = 0; uiIdx < m_kReleaseEntries.GetSize(); ++uiIdx)
        m_kReleaseEntries[uiIdx](this);

    m_kCustomNodeFactories.Clear();
    for (auto& kPair : m_kPluginNodes)
        TARN_DELETE(kPair.Value);
    m_kPluginNodes.Clear();
    for (auto& kPair : m_kStepCallbacks)
        TARN_DELETE(kPair.Value);
    m_kStepCallbacks.Clear();
    m_kReleaseEntries.Clear();
    m_kBuilderOwners.Clear();
}

void BasePluginManager::UpdateComponentBuilders(void* _pStepContext, StepTime kTime, Common::CWorkerPool* pPool)
{
    // Components handed to a thread at a time, and the fewest worth waking
    // the other threads for.
    constexpr uint32 kComponentsPerChunk = 64;
    constexpr uint32 kMinComponentsToShare = 512;
    for (uint32 uiIdx = 0; uiIdx < m_kComponentBuilders.GetSize(); ++uiIdx)
    {
        PluginComponentBuilder* pBuilder = m_kComponentBuilders.GetAt(uiIdx).Value;
        if (!pBuilder)
            continue;
        const uint32 uiCount = pPool && pPool->GetThreadCount() > 1 ? pBuilder->GetParallelComponentCount() : 0;
        if (uiCount < kMinComponentsToShare)
        {
            pBuilder->UpdateComponents(_pStepContext, kTime);
            continue;
        }
        pPool->ParallelFor(uiCount, kComponentsPerChunk, [&](uint32 uiFirst, uint32 uiEnd, uint32) {
            pBuilder->UpdateComponentRange(_pStepContext, kTime, uiFirst, uiEnd);
        });
    }
}

void BasePluginManager::CallStepCallbacks(const char* pStepName, void* _pArgument)
{
    const uint32 uiStepId = GenerateUIntIdFromString(pStepName);
    // A callback may register or unregister callbacks of its own step,
    // itself included: the list is looked up again after every call (its
    // last callback gone, it is gone), and when the entry just called is no
    // longer at its place, the next one has moved into it. A pass makes at
    // most as many calls as the step had callbacks when it began.
    TarnRenderer::TArray<StepCallback>** ppList = m_kStepCallbacks.Lookup(uiStepId);
    const uint32 uiMaxCalls = ppList ? (*ppList)->GetSize() : 0;
    uint32 uiIdx = 0;
    for (uint32 uiCall = 0; uiCall < uiMaxCalls; ++uiCall)
    {
        if (uiIdx >= (*ppList)->GetSize())
            return;
        const StepCallback pCallback = (**ppList)[uiIdx];
        pCallback(_pArgument);
        ppList = m_kStepCallbacks.Lookup(uiStepId);
        if (!ppList)
            return;
        if (uiIdx < (*ppList)->GetSize() && (**ppList)[uiIdx] == pCallback)
            ++uiIdx;
    }
}

bool BasePluginManager::LoadPlugins(const char* pBasePath)
{
    if (!pBasePath)
        pBasePath = "";
    char acDirectory[CModuleLoader::MaxPath];
    const int iLength = snprintf(acDirectory, sizeof(acDirectory), "%sPlugins", pBasePath);
    if (!TARN_ASSERT(iLength >= 0 && static_cast<uint32>(iLength) < CModuleLoader::MaxPath,
                     "Plugin directory %sPlugins does not fit %u bytes", pBasePath, CModuleLoader::MaxPath))
        return false;
    return LoadPluginDirectory(acDirectory);
}

bool BasePluginManager::LoadPluginDirectory(const char* pDirectory)
{
    TarnRenderer::TArray<CModuleLoader::FileName> kFiles;
    TarnRenderer::TArray<CModuleLoader::SkippedFile> kSkipped;
    if (!CModuleLoader::ListPluginFiles(pDirectory, kFiles, &kSkipped))
        return false;
    // A file named like a module that is not one is said, not passed over.
    for (const CModuleLoader::SkippedFile& kFile : kSkipped)
        Common::CDebugLog::Print("plugin %s/%s skipped: %s", pDirectory, kFile.m_acName, kFile.m_acReason);
    if (kFiles.IsEmpty())
        return false;
    for (const CModuleLoader::FileName& kFile : kFiles)
    {
        const bool bLoaded = LoadPlugin(pDirectory, kFile.m_acName);
        Common::CDebugLog::Print("plugin %s/%s loading : %s", pDirectory, kFile.m_acName, bLoaded ? "Ok" : "Failed");
    }
    return true;
}

bool BasePluginManager::LoadPlugin(const char* pDirectory, const char* pFileName)
{
    char acPath[CModuleLoader::MaxPath];
    const int iLength = snprintf(acPath, sizeof(acPath), "%s/%s", pDirectory, pFileName);
    if (!TARN_ASSERT(iLength >= 0 && static_cast<uint32>(iLength) < CModuleLoader::MaxPath,
                     "Plugin path %s/%s does not fit %u bytes", pDirectory, pFileName, CModuleLoader::MaxPath))
        return false;

    char acError[512];
    int iErrorCode = 0;
    CModuleLoader::ModuleHandle hModule = CModuleLoader::Load(acPath, acError, sizeof(acError), &iErrorCode);
    if (!hModule)
    {
        Common::CDebugLog::Print("Error %ld loading %s : %s", static_cast<long>(iErrorCode), pFileName, acError);
        return false;
    }

    // A second link to a module file already loaded gives the same module
    // back, with the same state: it is the same plug-in.
    for (const SModuleRecord& kRecord : m_kModules)
    {
        if (kRecord.m_hModule != hModule)
            continue;
        Common::CDebugLog::Print("plugin %s refused: same module as %s", acPath, kRecord.m_acPath);
        // Drops the reference this load took; the first file keeps its own.
        CModuleLoader::Unload(hModule);
        return false;
    }
    const uint32 uiModule = m_kModules.GetSize();
    SModuleRecord& kNewRecord = m_kModules.Add();
    snprintf(kNewRecord.m_acPath, sizeof(kNewRecord.m_acPath), "%s", acPath);
    kNewRecord.m_hModule = hModule;

    // Both entries are looked up before the plug-in starts: one that could
    // not be released at shutdown is not started at all.
    const auto pInitEntry = reinterpret_cast<InitPluginFunc>(CModuleLoader::FindSymbol(hModule, kInitEntryName));
    const auto pReleaseEntry =
        reinterpret_cast<ReleasePluginFunc>(CModuleLoader::FindSymbol(hModule, kReleaseEntryName));
    if (!TARN_ASSERT(pInitEntry, "Plugin %s exports no %s", pFileName, kInitEntryName) ||
        !TARN_ASSERT(pReleaseEntry, "Plugin %s exports no %s", pFileName, kReleaseEntryName))
        return false;

    PluginParam kParam;
    FillParam(kParam, true);
    SModuleLoad kLoad;
    kLoad.m_uiModule = uiModule;
    SModuleLoad* pOuterLoad = m_pActiveLoad;
    m_pActiveLoad = &kLoad;
    const bool bStarted = pInitEntry(&kParam);
    if (kLoad.m_bRefused)
    {
        Common::CDebugLog::Print(
            "plugin %s refused: component builder \"%s\" is already registered by %s", acPath, kLoad.m_acRefusedBuilder,
            kLoad.m_uiKeptOwner < m_kModules.GetSize() ? m_kModules[kLoad.m_uiKeptOwner].m_acPath : "the host");
        // Released while it is still the active module: what it unregisters
        // can only be its own.
        if (bStarted)
            pReleaseEntry(this);
        m_pActiveLoad = pOuterLoad;
        if (HoldsRegistrationsOf(kLoad))
            Common::CDebugLog::Print("plugin %s stays loaded: it left registrations behind", acPath);
        else
        {
            CModuleLoader::Unload(hModule);
            m_kModules[uiModule].m_hModule = nullptr;
        }
        return false;
    }
    m_pActiveLoad = pOuterLoad;
    if (!bStarted)
    {
        Common::CDebugLog::Print("Unable to init plugin %s", pFileName);
        return false;
    }
    m_kReleaseEntries.Add(pReleaseEntry);
    return true;
}

bool BasePluginManager::HoldsRegistrationsOf(const SModuleLoad& kLoad) const
{
    for (const auto& kPair : m_kBuilderOwners)
        if (kPair.Value == kLoad.m_uiModule)
            return true;
    for (const SStepEntry& kEntry : kLoad.m_kSteps)
    {
        const auto* ppList = m_kStepCallbacks.Lookup(kEntry.m_uiStepId);
        if (ppList && (*ppList)->Find(kEntry.m_pCallback) != TarnRenderer::TArray<StepCallback>::uiMaxValue)
            return true;
    }
    for (const SFactoryEntry& kEntry : kLoad.m_kFactories)
    {
        CustomNodeFactory* const* ppFactory = m_kCustomNodeFactories.Lookup(kEntry.m_uiKey);
        if (ppFactory && *ppFactory == kEntry.m_pFactory)
            return true;
    }
    return false;
}

void BasePluginManager::FillParam(PluginParam& kParam, bool bFromDirectory)
{
    kParam.m_pPluginManager = this;
    kParam.m_pMemoryManager = Common::Mem::CMemoryManager::GetInstance();
    kParam.m_pEngine = m_pEngine;
    kParam.m_pDataProvider = m_pDataProvider;
    kParam.m_pEditorPickCallback = bFromDirectory ? m_pEditorPickCallback : nullptr;
}

bool BasePluginManager::RegisterStaticPlugin(InitPluginFunc pInit, ReleasePluginFunc pRelease)
{
    if (!TARN_ASSERT(pInit && pRelease, "RegisterStaticPlugin needs both entry points"))
        return false;
    PluginParam kParam;
    FillParam(kParam, false);
    // A plug-in started from a module's entry point is not that module.
    SModuleLoad* pOuterLoad = m_pActiveLoad;
    m_pActiveLoad = nullptr;
    const bool bStarted = pInit(&kParam);
    m_pActiveLoad = pOuterLoad;
    if (!bStarted)
        return false;
    m_kReleaseEntries.Add(pRelease);
    return true;
}

void BasePluginManager::RegisterCustomNode(CustomNodeFactory* pFactory)
{
    if (!TARN_ASSERT(pFactory, "RegisterCustomNode : no factory"))
        return;
    const uint32 uiKey = GenerateUIntIdFromString(pFactory->GetTypeName());
    m_kCustomNodeFactories.Insert(uiKey, pFactory);
    if (m_pActiveLoad)
    {
        SFactoryEntry& kEntry = m_pActiveLoad->m_kFactories.Add();
        kEntry.m_uiKey = uiKey;
        kEntry.m_pFactory = pFactory;
    }
    PluginNode* pNode = pFactory->GetPluginNode();
    // A node registered again under the same type replaces the earlier
    // node, which the manager owns.
    if (PluginNode** ppOld = m_kPluginNodes.Lookup(uiKey))
    {
        if (*ppOld != pNode)
            TARN_DELETE(*ppOld);
        m_kPluginNodes.Remove(uiKey);
    }
    if (pNode)
        m_kPluginNodes.Insert(uiKey, pNode);
}

void BasePluginManager::UnregisterCustomNode(const char* pTypeName)
{
    const uint32 uiKey = GenerateUIntIdFromString(pTypeName);
    m_kCustomNodeFactories.Remove(uiKey);
    if (PluginNode** ppNode = m_kPluginNodes.Lookup(uiKey))
    {
        TARN_DELETE(*ppNode);
        m_kPluginNodes.Remove(uiKey);
    }
}

void BasePluginManager::RegisterComponentBuilder(PluginComponentBuilder* pBuilder)
{
    if (!TARN_ASSERT(pBuilder, "RegisterComponentBuilder : no builder"))
        return;
    const CustomComponentDesc* pDesc = pBuilder->GetDesc();
    if (!TARN_ASSERT(pDesc, "RegisterComponentBuilder : the builder has no descriptor"))
        return;
    const uint32 uiId = pDesc->m_uiComponentId;
    PluginComponentBuilder** ppRegistered = m_kComponentBuilders.Lookup(uiId);
    // The first builder of an ID stays: replacing it would leave its plug-in
    // holding a builder the engine no longer steps, and hand its components
    // and data to another copy of the code.
    const bool bTaken = ppRegistered && *ppRegistered && *ppRegistered != pBuilder;
    if (bTaken && m_pActiveLoad)
    {
        // A module meeting this while it starts is refused as a whole once
        // its InitPlugin returns.
        if (!m_pActiveLoad->m_bRefused)
        {
            m_pActiveLoad->m_bRefused = true;
            snprintf(m_pActiveLoad->m_acRefusedBuilder, sizeof(m_pActiveLoad->m_acRefusedBuilder), "%s",
                     pDesc->m_acName);
            const uint32* pOwner = m_kBuilderOwners.Lookup(uiId);
            m_pActiveLoad->m_uiKeptOwner = pOwner ? *pOwner : kNoModule;
        }
        return;
    }
    if (!TARN_ASSERT(!bTaken, "Component builder %s is refused: another builder is registered under the same ID",
                     pDesc->m_acName))
        return;
    m_kComponentBuilders.Insert(uiId, pBuilder);
    if (m_pActiveLoad)
        m_kBuilderOwners.Insert(uiId, m_pActiveLoad->m_uiModule);
    else
        m_kBuilderOwners.Remove(uiId);
}

void BasePluginManager::UnregisterComponentBuilder(uint32 uiComponentId)
{
    // While a module's entry point runs, it unregisters its own builders
    // only: a refused copy of a plug-in releasing "its" builder by ID must
    // not take the one that stayed.
    if (m_pActiveLoad)
    {
        const uint32* pOwner = m_kBuilderOwners.Lookup(uiComponentId);
        if (m_kComponentBuilders.Lookup(uiComponentId) && (!pOwner || *pOwner != m_pActiveLoad->m_uiModule))
            return;
    }
    m_kComponentBuilders.Remove(uiComponentId);
    m_kBuilderOwners.Remove(uiComponentId);
}

PluginNode* BasePluginManager::GetPluginNode(const char* pTypeName)
{
    PluginNode** ppNode = m_kPluginNodes.Lookup(GenerateUIntIdFromString(pTypeName));
    return ppNode ? *ppNode : nullptr;
}

void* BasePluginManager::CreateNodeInstance(const char* pTypeName, const PluginJsonValue& kValue, void* _pContextA,
                                            void* _pContextB)
{
    CustomNodeFactory** ppFactory = m_kCustomNodeFactories.Lookup(GenerateUIntIdFromString(pTypeName));
    if (!ppFactory || !*ppFactory)
        return nullptr;
    return (*ppFactory)->CreateInstance(kValue, _pContextA, _pContextB);
}

void BasePluginManager::DestroyNodeInstance(const char* pTypeName, void* _pInstance)
{
    CustomNodeFactory** ppFactory = m_kCustomNodeFactories.Lookup(GenerateUIntIdFromString(pTypeName));
    if (ppFactory && *ppFactory)
        (*ppFactory)->DestroyInstance(_pInstance);
}

PluginComponent* BasePluginManager::BuildComponent(uint32 uiComponentId, void* _pPrefabInstance,
                                                   TarnRenderer::Link* _pLink, IPluginComponentData* _pData)
{
    PluginComponentBuilder** ppBuilder = m_kComponentBuilders.Lookup(uiComponentId);
    if (!ppBuilder || !*ppBuilder)
        return nullptr;
    return (*ppBuilder)->BuildComponent(_pPrefabInstance, _pLink, _pData);
}

PluginComponent* BasePluginManager::BuildComponentByName(const char* pComponentName, void* _pPrefabInstance,
                                                         TarnRenderer::Link* _pLink, IPluginComponentData* _pData)
{
    return BuildComponent(GenerateUIntIdFromString(pComponentName), _pPrefabInstance, _pLink, _pData);
}

bool BasePluginManager::BuildComponentData(const char* pContainerType, const PluginJsonValue& kAddIn, void* _pContextA,
                                           void* _pContextB, TarnRenderer::TArray<IPluginComponentData*>& kOut)
{
    const uint32 uiContainerId = GenerateUIntIdFromString(pContainerType);

    const PluginJsonValue* pType = nullptr;
    const PluginJsonValue* pJson = nullptr;
    if (kAddIn.IsObject())
    {
        const auto kTypeIt = kAddIn.FindMember("Type");
        const auto kJsonIt = kAddIn.FindMember("Json");
        if (kTypeIt != kAddIn.MemberEnd() && kTypeIt->value.IsString())
            pType = &kTypeIt->value;
        if (kJsonIt != kAddIn.MemberEnd() && kJsonIt->value.IsString())
            pJson = &kJsonIt->value;
    }
    // A malformed add-in object is skipped like one with malformed text: the
    // container's other add-ins still load.
    if (!TARN_ASSERT(pType && pJson, "Add-in object of a %s needs the string members \"Type\" and \"Json\"",
                     pContainerType ? pContainerType : "container"))
        return true;
    const char* pTypeName = pType->GetString();
    const size_t uiTypeLength = pType->GetStringLength();
    const char* pText = pJson->GetString();
    const size_t uiTextLength = pJson->GetStringLength();

    for (uint32 uiIdx = 0; uiIdx < m_kComponentBuilders.GetSize(); ++uiIdx)
    {
        PluginComponentBuilder* pBuilder = m_kComponentBuilders.GetAt(uiIdx).Value;
        if (!TARN_ASSERT_TEXT(pBuilder, "builder", "Couldn't find plugin component builder"))
            continue;
        const CustomComponentDesc* pDesc = pBuilder->GetDesc();
        if (!pDesc || pDesc->m_uiContainerTypeId != uiContainerId ||
            strnlen(pDesc->m_acName, sizeof(pDesc->m_acName)) != uiTypeLength ||
            memcmp(pDesc->m_acName, pTypeName, uiTypeLength) != 0)
            continue;

        // Nesting is checked first: the parser recurses once per level.
        const size_t uiDeep = Common::FindExcessiveJsonNesting(pText, uiTextLength);
        CManagedJsonDocument kManaged(kJsonChunkBytes, kJsonStackBytes);
        PluginJsonDocument& kDocument = kManaged.Get();
        if (uiDeep == uiTextLength)
            kDocument.Parse(pText, uiTextLength);
        if (uiDeep < uiTextLength || kDocument.HasParseError())
        {
            TARN_ASSERT(false, "Could not parse JSON file");
            if (uiDeep < uiTextLength)
                Common::CDebugLog::Print("Add-in %s of a %s: nested deeper than %u levels at offset %zu", pTypeName,
                                         pContainerType, Common::kMaxJsonNesting, uiDeep);
            else
                Common::CDebugLog::Print("Add-in %s of a %s: %s at offset %zu", pTypeName, pContainerType,
                                         rapidjson::GetParseError_En(kDocument.GetParseError()),
                                         kDocument.GetErrorOffset());
            continue;
        }
        pBuilder->BuildComponentData(kDocument, _pContextA, _pContextB, kOut);
    }
    return true;
}

void BasePluginManager::NotifyComponentBuilder(const char* pComponentName, void* _pValue)
{
    PluginComponentBuilder** ppBuilder = m_kComponentBuilders.Lookup(GenerateUIntIdFromString(pComponentName));
    if (ppBuilder && *ppBuilder)
        (*ppBuilder)->OnBuilderEvent(_pValue);
}

void BasePluginManager::DestroyComponent(uint32 uiComponentId, void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                         IPluginComponentData* _pData)
{
    (void)_pPrefabInstance;
    (void)_pData;
    PluginComponentBuilder** ppBuilder = m_kComponentBuilders.Lookup(uiComponentId);
    if (ppBuilder && *ppBuilder)
        (*ppBuilder)->DestroyComponent(_pLink);
}

void BasePluginManager::RegisterStepCallback(const char* pStepName, StepCallback pCallback)
{
    if (!TARN_ASSERT(pCallback, "RegisterStepCallback : no callback for step %s", pStepName ? pStepName : ""))
        return;
    const uint32 uiStepId = GenerateUIntIdFromString(pStepName);
    TarnRenderer::TArray<StepCallback>** ppList = m_kStepCallbacks.Lookup(uiStepId);
    TarnRenderer::TArray<StepCallback>* pList = ppList ? *ppList : nullptr;
    if (!pList)
    {
        pList =
            TARN_NEW_TAGGED("TarnEngine::BasePluginManager::RegisterStepCallback", TarnRenderer::TArray<StepCallback>);
        if (!TARN_ASSERT(pList, "RegisterStepCallback : no memory for step %s", pStepName ? pStepName : ""))
            return;
        m_kStepCallbacks.Insert(uiStepId, pList);
    }
    pList->Add(pCallback);
    if (m_pActiveLoad)
    {
        SStepEntry& kEntry = m_pActiveLoad->m_kSteps.Add();
        kEntry.m_uiStepId = uiStepId;
        kEntry.m_pCallback = pCallback;
    }
}

void BasePluginManager::UnregisterStepCallback(const char* pStepName, StepCallback pCallback)
{
    const uint32 uiStepId = GenerateUIntIdFromString(pStepName);
    TarnRenderer::TArray<StepCallback>** ppList = m_kStepCallbacks.Lookup(uiStepId);
    if (!ppList)
        return;
    TarnRenderer::TArray<StepCallback>* pList = *ppList;
    const uint32 uiIndex = pList->Find(pCallback);
    if (uiIndex != TarnRenderer::TArray<StepCallback>::uiMaxValue)
        pList->RemoveAt(uiIndex);
    if (pList->IsEmpty())
    {
        TARN_DELETE(pList);
        m_kStepCallbacks.Remove(uiStepId);
    }
}

uint32 BasePluginManager::GetNumStepCallbacks(const char* pStepName) const
{
    const auto* ppList = m_kStepCallbacks.Lookup(GenerateUIntIdFromString(pStepName));
    return ppList ? (*ppList)->GetSize() : 0;
}

}  // namespace TarnEngine

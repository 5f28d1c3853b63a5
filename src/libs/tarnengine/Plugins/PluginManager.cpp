#include "Plugins/PluginManager.h"

#include <cstdio>
#include <cstring>

#include <rapidjson/error/en.h>

#include "Plugins/ModuleLoader.h"
#include "System/MemoryManager/MemoryManager.h"
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

} // namespace

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
}

void BasePluginManager::UpdateComponentBuilders(void* _pStepContext, StepTime kTime)
{
    for (uint32 uiIdx = 0; uiIdx < m_kComponentBuilders.GetSize(); ++uiIdx)
    {
        PluginComponentBuilder* pBuilder = m_kComponentBuilders.GetAt(uiIdx).Value;
        if (pBuilder)
            pBuilder->UpdateComponents(_pStepContext, kTime);
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
    if (!CModuleLoader::ListPluginFiles(pDirectory, kFiles) || kFiles.IsEmpty())
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
    CModuleLoader::ModuleHandle hModule = CModuleLoader::Load(acPath, acError, sizeof(acError));
    if (!hModule)
    {
        Common::CDebugLog::Print("Error %ld loading %s : %s", 0L, pFileName, acError);
        return false;
    }

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
    if (!pInitEntry(&kParam))
    {
        Common::CDebugLog::Print("Unable to init plugin %s", pFileName);
        return false;
    }
    m_kReleaseEntries.Add(pReleaseEntry);
    return true;
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
    if (!pInit(&kParam))
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
    PluginComponentBuilder** ppRegistered = m_kComponentBuilders.Lookup(pDesc->m_uiComponentId);
    TARN_ASSERT(!ppRegistered || *ppRegistered == pBuilder || !*ppRegistered,
                "Component builder %s replaces another builder registered under the same ID", pDesc->m_acName);
    m_kComponentBuilders.Insert(pDesc->m_uiComponentId, pBuilder);
}

void BasePluginManager::UnregisterComponentBuilder(uint32 uiComponentId)
{
    m_kComponentBuilders.Remove(uiComponentId);
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

} // namespace TarnEngine

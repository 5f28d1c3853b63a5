#include "Plugin/GaitComponentBuilder.h"

#include <new>

#include "Data/GaitSerializer.h"
#include "Factory/AddInLoadContext.h"
#include "Plugin/GaitComponent.h"
#include "Plugins/PluginManager.h"
#include "Plugins/PluginParam.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/WorldContext.h"

namespace GaitPlugin {

namespace {

// The links of thousands of characters, their user-data records and the
// components in them lie apart in memory: reached one after another, each
// would be a cache miss. The update fetches that chain a few links ahead,
// one step of the chain per distance, so that each step has arrived by the
// time the next one reads it. Only fetches: nothing is changed.
constexpr uint32 kPrefetchLink = 16;
constexpr uint32 kPrefetchRecord = 12;
constexpr uint32 kPrefetchPayload = 8;
constexpr uint32 kPrefetchActorData = 4;
constexpr uint32 kPrefetchControls = 2;

// Fetches for the links before uiCount only: those beyond may be another
// thread's.
void PrefetchAhead(const TarnRenderer::TArray<TarnRenderer::Link*, unsigned int>& kLinks, uint32 uiIndex,
                   uint32 uiCount)
{
    if (uiIndex + kPrefetchLink < uiCount)
        __builtin_prefetch(kLinks[uiIndex + kPrefetchLink]);
    if (uiIndex + kPrefetchRecord < uiCount)
        if (const TarnRenderer::UserData* pRecord = kLinks[uiIndex + kPrefetchRecord]->GetFirstUserData())
            __builtin_prefetch(pRecord);
    if (uiIndex + kPrefetchPayload < uiCount)
    {
        const TarnRenderer::UserData* pRecord = kLinks[uiIndex + kPrefetchPayload]->GetFirstUserData();
        if (pRecord && pRecord->m_pData)
        {
            const char* pPayload = static_cast<const char*>(pRecord->m_pData);
            for (size_t uiOffset = 0; uiOffset < TarnRenderer::kUserDataHeaderSize + sizeof(GaitComponent);
                 uiOffset += 64)
                __builtin_prefetch(pPayload + uiOffset);
        }
    }
    if (uiIndex + kPrefetchActorData < uiCount)
    {
        if (GaitComponent* pComponent = GaitComponentBuilder::GetComponent(kLinks[uiIndex + kPrefetchActorData]))
        {
            __builtin_prefetch(pComponent->GetActor().GetTunes().GetData());
            __builtin_prefetch(pComponent->GetActor().GetAnimActor());
        }
    }
    // The update reads the weight and frame of every movement's control.
    if (uiIndex + kPrefetchControls < uiCount)
        if (GaitComponent* pComponent = GaitComponentBuilder::GetComponent(kLinks[uiIndex + kPrefetchControls]))
            pComponent->GetActor().PrefetchControls();
}

}  // namespace

GaitComponent* GaitComponentBuilder::GetComponent(const TarnRenderer::Link* pLink)
{
    TarnRenderer::UserDataHeader* pHeader = TarnRenderer::GetUserData<GaitComponent>(pLink, kUserDataTag);
    return TarnRenderer::GetUserDataCount(pHeader) ? TarnRenderer::GetUserDataElement<GaitComponent>(pHeader, 0)
                                                   : nullptr;
}

TarnEngine::CustomComponentDesc* GaitComponentBuilder::GetDesc()
{
    static TarnEngine::CustomComponentDesc s_kDesc("Gait", "PrefabContainer", "Gait Plugin", "");
    return &s_kDesc;
}

TarnEngine::PluginComponent* GaitComponentBuilder::BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                                                  TarnEngine::IPluginComponentData* _pData)
{
    // A link built twice is listed once, its old component put to standby.
    DestroyComponent(_pLink);

    if (!GetComponent(_pLink))
    {
        const auto* pInstance = static_cast<const TarnEngine::PrefabInstance*>(_pPrefabInstance);
        const TarnEngine::WorldContext* pWorld = pInstance ? pInstance->GetWorldContext() : nullptr;
        if (!TARN_ASSERT(pWorld && pWorld->pUserDataPool, "No scene to keep the Gait component of the link in"))
            return nullptr;
        // A fresh component is made in place and moved into the record as a
        // block: only the record's copy remains, so the original is not
        // destroyed.
        alignas(GaitComponent) unsigned char acStorage[sizeof(GaitComponent)];
        const GaitComponent* pFresh = ::new (acStorage) GaitComponent();
        Common::Mem::CTagScope kTag("GaitPlugin::GaitComponentBuilder::BuildComponent");
        if (!TarnRenderer::AddUserData(*pWorld->pUserDataPool, _pLink, kUserDataTag, *pFresh))
            return nullptr;
    }
    GaitComponent* pComponent = GetComponent(_pLink);
    if (!pComponent)
        return nullptr;
    pComponent->SetData(_pData);
    if (TarnEngine::IPluginComponentData* pData = pComponent->GetData())
        pData->SetTypeID(GetDesc()->m_uiComponentId);
    pComponent->Init(_pLink, _pPrefabInstance);
    links.Add(_pLink);
    return pComponent;
}

bool GaitComponentBuilder::BuildComponentData(
    const TarnEngine::PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
    TarnRenderer::TArray<TarnEngine::IPluginComponentData*, unsigned int>& kOut)
{
    auto* pContainer = TARN_NEW_TAGGED("GaitPlugin::GaitComponentBuilder::BuildComponentData", GaitComponentContainer);
    if (!pContainer)
        return true;
    // A document the loader rejects has been reported member by member, and
    // its problems go to the prefab's loader, which logs them naming the
    // file; the container is kept all the same, with empty parameters, for a
    // later ReloadFromJson.
    const auto* pLoad = static_cast<const TarnEngine::SAddInLoadContext*>(_pContextA);
    (void)_pContextB;
    GaitSerializer::LoadFromDocument(kDocument, pContainer->GetParam(), pLoad ? pLoad->pDocumentErrors : nullptr);
    pContainer->SetTypeID(GetDesc()->m_uiComponentId);
    kOut.Add(pContainer);
    return true;
}

void GaitComponentBuilder::UpdateComponents(void* _pStepContext, TarnEngine::StepTime kTime)
{
    // The size is read again for every index: an update may change the list.
    for (uint32 i = 0; i < links.GetSize(); ++i)
    {
        PrefetchAhead(links, i, links.GetSize());
        TarnRenderer::Link* pLink = links[i];
        GaitComponent* pComponentContainer = GetComponent(pLink);
        if (!TARN_ASSERT(pComponentContainer, "couldn't get link user data of type GaitComponent"))
            continue;
        pComponentContainer->Update(_pStepContext, pLink, kTime);
    }
}

void GaitComponentBuilder::UpdateComponentRange(void* _pStepContext, TarnEngine::StepTime kTime, uint32 uiFirst,
                                                uint32 uiEnd)
{
    for (uint32 i = uiFirst; i < uiEnd && i < links.GetSize(); ++i)
    {
        PrefetchAhead(links, i, uiEnd);
        TarnRenderer::Link* pLink = links[i];
        GaitComponent* pComponentContainer = GetComponent(pLink);
        if (!TARN_ASSERT(pComponentContainer, "couldn't get link user data of type GaitComponent"))
            continue;
        pComponentContainer->Update(_pStepContext, pLink, kTime);
    }
}

void GaitComponentBuilder::DestroyComponent(TarnRenderer::Link* _pLink)
{
    const uint32 uiIndex = links.FindLast(_pLink);
    if (uiIndex == TarnRenderer::TArray<TarnRenderer::Link*, unsigned int>::uiMaxValue)
        return;
    GaitComponent* pComponentContainer = GetComponent(_pLink);
    if (TARN_ASSERT(pComponentContainer, "couldn't get link user data of type GaitComponent"))
        pComponentContainer->Release();
    links.RemoveAt(uiIndex);
}

namespace {
GaitComponentBuilder* s_pBuilderOnly = nullptr;
}  // namespace

bool GaitComponentBuilder::InitBuilderOnly(TarnEngine::PluginParam* _pParam)
{
    if (!TARN_ASSERT(!s_pBuilderOnly, "a Gait builder is registered alone already"))
        return false;
    s_pBuilderOnly = TARN_NEW_TAGGED("GaitPlugin::GaitComponentBuilder::InitBuilderOnly", GaitComponentBuilder);
    if (!s_pBuilderOnly)
        return false;
    _pParam->m_pPluginManager->RegisterComponentBuilder(s_pBuilderOnly);
    return true;
}

bool GaitComponentBuilder::ReleaseBuilderOnly(TarnEngine::IPluginManager* _pManager)
{
    if (s_pBuilderOnly)
    {
        _pManager->UnregisterComponentBuilder(s_pBuilderOnly->GetDesc()->m_uiComponentId);
        TARN_DELETE(s_pBuilderOnly);
        s_pBuilderOnly = nullptr;
    }
    return true;
}

GaitComponentBuilder* GaitComponentBuilder::GetBuilderOnly()
{
    return s_pBuilderOnly;
}

}  // namespace GaitPlugin

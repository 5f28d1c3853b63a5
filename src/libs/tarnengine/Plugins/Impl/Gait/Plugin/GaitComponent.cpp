#include "Plugins/Impl/Gait/Plugin/GaitComponent.h"

#include <cstring>

#include <rapidjson/document.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/Skeleton.h"
#include "Plugins/Impl/Gait/Data/GaitSerializer.h"
#include "Plugins/Impl/Gait/Plugin/GaitPluginEntry.h"
#include "Plugins/Impl/Gait/RPC/GaitComponentBuilderRpc.h"
#include "Utils/JsonText.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/WorldContext.h"

namespace GaitPlugin {

bool GaitComponentContainer::Load(const TarnEngine::PluginJsonValue& kDocument, void*, void*)
{
    return GaitSerializer::LoadFromDocument(kDocument, m_kParam);
}

GaitComponent::~GaitComponent()
{
    if (RPC::CGaitComponentBuilderRpc* pRpc = GetPluginBuilderRpc(); pRpc && m_pLink)
        pRpc->ForgetLink(m_pLink);
}

void GaitComponent::Update(void*, TarnRenderer::Link*, TarnEngine::StepTime kTime)
{
    m_kActor.Update(m_kRotation, m_fSpeed, static_cast<float>(kTime.uiElapsedMs));
}

void GaitComponent::Init(TarnRenderer::Link* pLink, void* pPrefabInstance)
{
    m_pLink = pLink;
    m_pPrefabInstance = pPrefabInstance;
    if (!TARN_ASSERT(m_pData, "Can't init component if data is not loaded once"))
        return;

    const auto* pInstance = static_cast<const TarnEngine::PrefabInstance*>(pPrefabInstance);
    const TarnEngine::WorldContext* pWorld = pInstance ? pInstance->GetWorldContext() : nullptr;
    TarnRenderer::AnimActor* pAnimActor =
        pWorld && pWorld->pAnimManager ? pWorld->pAnimManager->FindActor(pWorld->uiWorldIndex, pLink) : nullptr;
    TarnAnim::Skeleton* pSkeleton = pAnimActor ? pAnimActor->pSkeleton : nullptr;
    const TarnAnim::Mocap* pMocap = nullptr;
    for (uint32 i = 0; pSkeleton && !pMocap && i < pSkeleton->GetMocapSlotCount(); ++i)
        pMocap = pSkeleton->GetMocap(i);
    if (!pMocap)
        return;  // no animated character on this link: the actor stays unbound

    const auto* pContainer = static_cast<const GaitComponentContainer*>(m_pData);
    GaitSerializer::Serialize(&pContainer->GetParam(), *pMocap, m_kRuntimeData);
    m_kActor.Init(&m_kRuntimeData, pWorld, pLink, pAnimActor, true, true);
    // The steering option: the rectified root rotation turns the link.
    m_kActor.SetRotationCallback(
        m_kRuntimeData.m_kSteering.ApplyRectifiedRotation ? &GaitActor::ApplyRotationToLink : nullptr, nullptr);
    m_kActor.SetStandby(true);
}

bool GaitComponent::ReloadFromJson(const char* pText)
{
    const size_t uiLength = pText ? strlen(pText) : 0;
    TarnEngine::CManagedJsonDocument kManaged;
    TarnEngine::PluginJsonDocument& kDocument = kManaged.Get();
    if (!pText || Common::FindExcessiveJsonNesting(pText, uiLength) != uiLength ||
        kDocument.Parse(pText, uiLength).HasParseError())
    {
        TARN_ASSERT(false, "Could not parse JSON file");
        return false;
    }
    if (!TARN_ASSERT(m_pData, "Can't reload component if data is not loaded once"))
        return false;
    const bool bLoaded = static_cast<GaitComponentContainer*>(m_pData)->Load(kDocument, nullptr, nullptr);
    if (bLoaded)
    {
        m_kActor.SetStandby(true);
        m_kActor.Stop();
        Init(m_pLink, m_pPrefabInstance);
    }
    return bLoaded;
}

void GaitComponent::Reset()
{
    m_kActor.SetStandby(true);
    m_kActor.SetStandby(false);
}

}  // namespace GaitPlugin

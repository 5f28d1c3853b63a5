#include "Plugin/GaitComponent.h"

#include <cmath>
#include <cstring>

#include <rapidjson/document.h>

#include "AnimManager/AnimManager.h"
#include "Data/GaitSerializer.h"
#include "DataDynamic/Skeleton.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/JsonText.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/WorldContext.h"

namespace GaitPlugin {

namespace {

// Resolved data, shared by the components whose resolution gave the same.
TSharedList<GaitRuntimeData>& SharedRuntimeData()
{
    static TSharedList<GaitRuntimeData> s_kList;
    return s_kList;
}

// The listed data equal to kData, counted for one more user; listed anew
// when there is none. Null when memory is refused.
GaitSharedRuntimeData* AcquireRuntimeData(const GaitRuntimeData& kData)
{
    TSharedList<GaitRuntimeData>& kList = SharedRuntimeData();
    if (GaitSharedRuntimeData* pShared = kList.Share([&](const GaitRuntimeData& kListed) { return kListed == kData; }))
        return pShared;
    GaitSharedRuntimeData* pShared = kList.Make("GaitPlugin::GaitComponent::Init");
    if (!pShared)
        return nullptr;
    pShared->kValue = kData;
    kList.List(pShared);
    return pShared;
}

void ReleaseRuntimeData(GaitSharedRuntimeData* pShared)
{
    SharedRuntimeData().Release(pShared);
}

// What a component that never resolved its data reads.
const GaitRuntimeData& NoRuntimeData()
{
    static const GaitRuntimeData s_kEmpty;
    return s_kEmpty;
}

}  // namespace

void GaitComponent::CRuntimeDataRef::Reset(GaitSharedRuntimeData* pShared)
{
    GaitSharedRuntimeData* pPrevious = m_pShared;
    m_pShared = pShared;
    ReleaseRuntimeData(pPrevious);
}

const GaitRuntimeData& GaitComponent::GetRuntimeData() const
{
    return m_kRuntimeData.Get() ? m_kRuntimeData.Get()->kValue : NoRuntimeData();
}

bool GaitComponentContainer::Load(const TarnEngine::PluginJsonValue& kDocument, void*, void*)
{
    return GaitSerializer::LoadFromDocument(kDocument, m_kParam);
}

GaitComponent::~GaitComponent() = default;

void GaitComponent::SetRotation(const Math::Quaternion& kRotation)
{
    // A rotation of no length, or with components that are not numbers,
    // has no direction to turn to: the request stays as it was.
    const double dLengthSq =
        static_cast<double>(kRotation.x) * kRotation.x + static_cast<double>(kRotation.y) * kRotation.y +
        static_cast<double>(kRotation.z) * kRotation.z + static_cast<double>(kRotation.w) * kRotation.w;
    if (!TARN_ASSERT(dLengthSq > 0.0 && std::isfinite(dLengthSq), "GaitComponent : a rotation of no length is ignored"))
        return;
    m_kRotation = kRotation.Normalized();
}

void GaitComponent::SetSpeed(float fSpeed)
{
    // Outside 0 to kMaxSpeed the animation cannot follow: such a request
    // never reaches it.
    if (!TARN_ASSERT(fSpeed >= 0.0f && fSpeed <= kMaxSpeed,
                     "GaitComponent : a speed of %g is not from 0 to %g: ignored", static_cast<double>(fSpeed),
                     static_cast<double>(kMaxSpeed)))
        return;
    m_fSpeed = fSpeed;
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
    // Resolved afresh (and reported afresh), then shared with the components
    // that resolved to the same data.
    GaitRuntimeData kResolved;
    if (const GaitSharedRuntimeData* pCurrent = m_kRuntimeData.Get())
        kResolved = pCurrent->kValue;
    GaitSerializer::Serialize(&pContainer->GetParam(), *pMocap, kResolved);
    GaitSharedRuntimeData* pShared = AcquireRuntimeData(kResolved);
    if (!pShared)
        return;
    m_kActor.Init(&pShared->kValue, pWorld, pLink, pAnimActor, true, true);
    m_kRuntimeData.Reset(pShared);
    // The steering option: the rectified root rotation turns the link.
    m_kActor.SetRotationCallback(
        pShared->kValue.m_kSteering.ApplyRectifiedRotation ? &GaitActor::ApplyRotationToLink : nullptr, nullptr);
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

#include "Plugin/GaitComponent.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <numbers>

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

// The heading of a rotation: the angle about Z from +X to where it turns +X,
// in degrees.
double HeadingDegrees(const Math::Quaternion& q)
{
    const double x = q.x, y = q.y, z = q.z, w = q.w;
    return std::atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z)) * 180.0 / std::numbers::pi;
}

}  // namespace

GaitComponent::CFootContactLog::~CFootContactLog()
{
    if (m_pRing)
        TARN_FREE(m_pRing);
}

bool GaitComponent::CFootContactLog::Start()
{
    if (m_pRing)
        return true;
    void* pBlock = nullptr;
    {
        Common::Mem::CTagScope kTag("GaitPlugin::GaitComponent::TakeFootContacts");
        pBlock = TARN_ALLOC(sizeof(SFootContact) * kMaxFootContacts);
    }
    if (!TARN_ASSERT(pBlock, "GaitComponent : no memory to record foot contacts"))
        return false;
    m_pRing = static_cast<SFootContact*>(pBlock);
    for (uint32 i = 0; i < kMaxFootContacts; ++i)
        ::new (m_pRing + i) SFootContact();
    return true;
}

void GaitComponent::CFootContactLog::Record(const SFootContact& kContact)
{
    if (!m_pRing)
        return;
    if (m_uiCount < kMaxFootContacts)
    {
        m_pRing[(m_uiOldest + m_uiCount) % kMaxFootContacts] = kContact;
        ++m_uiCount;
        return;
    }
    m_pRing[m_uiOldest] = kContact;
    m_uiOldest = (m_uiOldest + 1) % kMaxFootContacts;
    if (m_uiDropped != UINT32_MAX)
        ++m_uiDropped;
}

uint32 GaitComponent::CFootContactLog::Take(SFootContact (&akOut)[kMaxFootContacts], uint32& uiDropped)
{
    const uint32 uiCount = m_uiCount;
    for (uint32 i = 0; i < uiCount; ++i)
        akOut[i] = m_pRing[(m_uiOldest + i) % kMaxFootContacts];
    uiDropped = m_uiDropped;
    m_uiOldest = m_uiCount = m_uiDropped = 0;
    return uiCount;
}

void GaitComponent::RecordFootOnFloor(TarnRenderer::Link* pLink, TarnRenderer::AnimActor*, void* pContext)
{
    auto* pComponent = static_cast<GaitComponent*>(pContext);
    if (!pComponent || !pComponent->m_kFootContacts.IsStarted())
        return;
    SFootContact kContact;
    if (const InfoFoFPoint* pPoint = pComponent->m_kActor.GetReportedFootOnFloor())
    {
        kContact.eMovement = pPoint->m_eAnim;
        kContact.uiFrame = pPoint->m_iFrame;
    }
    if (pLink)
        kContact.kPosition = pLink->GetWorldPosition();
    kContact.uiTimeMs = pComponent->m_uiElapsedMs;
    pComponent->m_kFootContacts.Record(kContact);
}

uint32 GaitComponent::TakeFootContacts(SFootContact (&akOut)[kMaxFootContacts], uint32& uiDropped)
{
    uiDropped = 0;
    if (!m_kFootContacts.IsStarted())
    {
        m_kFootContacts.Start();
        return 0;
    }
    return m_kFootContacts.Take(akOut, uiDropped);
}

float GaitComponent::GetHeadingDegrees() const
{
    return m_pLink ? static_cast<float>(HeadingDegrees(m_pLink->GetWorldRotation())) : 0.0f;
}

float GaitComponent::GetHeadingErrorDegrees() const
{
    const double dCurrent = m_pLink ? HeadingDegrees(m_pLink->GetWorldRotation()) : 0.0;
    double dError = std::remainder(HeadingDegrees(m_kRotation) - dCurrent, 360.0);
    // The remainder is -180 to 180 inclusive: a target right behind reads 180.
    if (dError <= -180.0)
        dError += 360.0;
    return static_cast<float>(dError);
}

bool GaitComponent::HasArrived() const
{
    if (m_kActor.IsStandby() || !(std::fabs(GetHeadingErrorDegrees()) <= kArrivedDegrees))
        return false;
    const bool bSpeedRequested = m_fSpeed >= GaitActor::kMinSpeed;
    const uint32 eMovement = m_kActor.GetCurrentMovement();
    return bSpeedRequested ? eMovement == EAnimMovement::Walk : eMovement == EAnimMovement::Idle;
}

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
    m_uiElapsedMs += kTime.uiElapsedMs;
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
    // The instance's own actor when it moves this link; otherwise the one
    // the session has for the link (a search through every actor).
    TarnRenderer::AnimActor* pAnimActor = pInstance ? pInstance->GetAnimActor() : nullptr;
    if (!pAnimActor || pAnimActor->pLink != pLink)
        pAnimActor =
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
    // The component stays where Init finds it (in its link's record), so the
    // actor may hold on to it.
    m_kActor.SetFootOnFloorCallback(&GaitComponent::RecordFootOnFloor, this);
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

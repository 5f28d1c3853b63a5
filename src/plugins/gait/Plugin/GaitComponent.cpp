#include "Plugin/GaitComponent.h"

#include <bit>
#include <cmath>
#include <cstring>

#include <rapidjson/document.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/Skeleton.h"
#include "Data/GaitSerializer.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/JsonText.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/WorldContext.h"

namespace GaitPlugin {

// Resolved gait data and the number of components that use it. The live
// ones are listed (an intrusive list: the registry allocates nothing and is
// empty once the last component went). Engine thread only.
class GaitSharedRuntimeData
{
public:
    GaitRuntimeData m_kData;
    uint32 m_uiUsers = 0;
    GaitSharedRuntimeData* m_pNext = nullptr;
};

namespace {

GaitSharedRuntimeData*& SharedRuntimeData()
{
    static GaitSharedRuntimeData* s_pFirst = nullptr;
    return s_pFirst;
}

// Exactly the same bits: data that differs only by the sign of a zero or a
// NaN's payload is not the same data.
bool SameBits(float a, float b)
{
    return std::bit_cast<uint32>(a) == std::bit_cast<uint32>(b);
}

template <class T, class Equal>
bool SameArrays(const TarnRenderer::TArray<T>& kA, const TarnRenderer::TArray<T>& kB, Equal kEqual)
{
    if (kA.GetSize() != kB.GetSize())
        return false;
    for (uint32 i = 0; i < kA.GetSize(); ++i)
        if (!kEqual(kA[i], kB[i]))
            return false;
    return true;
}

bool SamePoint(const InfoSynchroPoint& a, const InfoSynchroPoint& b)
{
    return a.m_eAnim == b.m_eAnim && a.m_iFrameFirst == b.m_iFrameFirst && a.m_iFrameLast == b.m_iFrameLast;
}

bool SameRuntimeData(const GaitRuntimeData& a, const GaitRuntimeData& b)
{
    const GaitRuntimeParameters& kPa = a.m_kParameters;
    const GaitRuntimeParameters& kPb = b.m_kParameters;
    if (!SameBits(kPa.RectificatorFactor, kPb.RectificatorFactor) || !SameBits(kPa.RectificatorExp, kPb.RectificatorExp) ||
        !SameBits(kPa.RectificatorMin, kPb.RectificatorMin) ||
        !SameBits(kPa.RectificatorMinDelta, kPb.RectificatorMinDelta) ||
        a.m_kSteering.ApplyRectifiedRotation != b.m_kSteering.ApplyRectifiedRotation)
        return false;
    return SameArrays(a.m_kBindAnims, b.m_kBindAnims,
                      [](const InfoBindAnim& x, const InfoBindAnim& y) {
                          return x.m_eAnim == y.m_eAnim && x.m_iAnimIdx == y.m_iAnimIdx &&
                                 x.m_eBlendMode == y.m_eBlendMode && x.m_bLoop == y.m_bLoop && x.m_bAccum == y.m_bAccum;
                      }) &&
           SameArrays(a.m_kSynchronizations, b.m_kSynchronizations,
                      [](const InfoSynchronization& x, const InfoSynchronization& y) {
                          return x.m_eBehavior == y.m_eBehavior && x.m_uiEaseMs == y.m_uiEaseMs &&
                                 SamePoint(x.m_kSource, y.m_kSource) && SamePoint(x.m_kTarget, y.m_kTarget);
                      }) &&
           SameArrays(a.m_kStablePoints, b.m_kStablePoints,
                      [](const InfoStablePoint& x, const InfoStablePoint& y) {
                          return x.m_eAnim == y.m_eAnim && SameBits(x.m_fFrame, y.m_fFrame);
                      }) &&
           SameArrays(a.m_kFoFPoints, b.m_kFoFPoints, [](const InfoFoFPoint& x, const InfoFoFPoint& y) {
               return x.m_eAnim == y.m_eAnim && x.m_iFrame == y.m_iFrame;
           });
}

// The listed data equal to kData, counted for one more user; listed anew
// when there is none. Null when memory is refused.
GaitSharedRuntimeData* AcquireRuntimeData(const GaitRuntimeData& kData)
{
    for (GaitSharedRuntimeData* pShared = SharedRuntimeData(); pShared; pShared = pShared->m_pNext)
    {
        if (SameRuntimeData(pShared->m_kData, kData))
        {
            ++pShared->m_uiUsers;
            return pShared;
        }
    }
    auto* pShared = TARN_NEW_TAGGED("GaitPlugin::GaitComponent::Init", GaitSharedRuntimeData);
    if (!pShared)
        return nullptr;
    pShared->m_kData = kData;
    pShared->m_uiUsers = 1;
    pShared->m_pNext = SharedRuntimeData();
    SharedRuntimeData() = pShared;
    return pShared;
}

void ReleaseRuntimeData(GaitSharedRuntimeData* pShared)
{
    if (!pShared || --pShared->m_uiUsers != 0)
        return;
    for (GaitSharedRuntimeData** ppLink = &SharedRuntimeData(); *ppLink; ppLink = &(*ppLink)->m_pNext)
    {
        if (*ppLink == pShared)
        {
            *ppLink = pShared->m_pNext;
            break;
        }
    }
    TARN_DELETE(pShared);
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
    return m_kRuntimeData.Get() ? m_kRuntimeData.Get()->m_kData : NoRuntimeData();
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
    const double dLengthSq = static_cast<double>(kRotation.x) * kRotation.x +
                             static_cast<double>(kRotation.y) * kRotation.y +
                             static_cast<double>(kRotation.z) * kRotation.z +
                             static_cast<double>(kRotation.w) * kRotation.w;
    if (!TARN_ASSERT(dLengthSq > 0.0 && std::isfinite(dLengthSq), "GaitComponent : a rotation of no length is ignored"))
        return;
    m_kRotation = kRotation.Normalized();
}

void GaitComponent::SetSpeed(float fSpeed)
{
    // Outside 0 to kMaxSpeed the animation cannot follow: such a request
    // never reaches it.
    if (!TARN_ASSERT(fSpeed >= 0.0f && fSpeed <= kMaxSpeed, "GaitComponent : a speed of %g is not from 0 to %g: ignored",
                     static_cast<double>(fSpeed), static_cast<double>(kMaxSpeed)))
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
        kResolved = pCurrent->m_kData;
    GaitSerializer::Serialize(&pContainer->GetParam(), *pMocap, kResolved);
    GaitSharedRuntimeData* pShared = AcquireRuntimeData(kResolved);
    if (!pShared)
        return;
    m_kActor.Init(&pShared->m_kData, pWorld, pLink, pAnimActor, true, true);
    m_kRuntimeData.Reset(pShared);
    // The steering option: the rectified root rotation turns the link.
    m_kActor.SetRotationCallback(
        pShared->m_kData.m_kSteering.ApplyRectifiedRotation ? &GaitActor::ApplyRotationToLink : nullptr, nullptr);
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

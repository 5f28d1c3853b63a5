#include "World/World.h"

#include "DataDynamic/AnimatedSkeleton.h"
#include "DataDynamic/Skeleton.h"
#include "Factory/PrefabContainer.h"
#include "Plugins/PluginComponent.h"
#include "Scene/UserDataHelper.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"

namespace TarnEngine {

CWorld::CWorld()
{
    m_kContext.uiWorldIndex = m_kAnimManager.AddSession();
    m_kContext.pAnimManager = &m_kAnimManager;
    m_kContext.pUserDataPool = &m_kUserDataPool;
}

CWorld::~CWorld()
{
    RemoveAllInstances();
    m_kAnimManager.RemoveSession(m_kContext.uiWorldIndex);
}

PrefabInstance* CWorld::InstancePrefab(PrefabContainer* pContainer, const Math::LocalVector3& kPosition,
                                       const Math::Quaternion& kRotation)
{
    if (!TARN_ASSERT(pContainer, "CWorld : no prefab container to instance"))
        return nullptr;
    if (!TARN_ASSERT(pContainer->IsLoaded(), "CWorld : the prefab container is not loaded"))
        return nullptr;

    PrefabInstance* pInstance =
        TARN_NEW_TAGGED("TarnEngine::CWorld::InstancePrefab", PrefabInstance, pContainer, &m_kContext);
    if (!pInstance)
        return nullptr;
    TarnRenderer::Link* pLink = pInstance->GetLink();
    pLink->SetWorldPosition(kPosition);
    pLink->SetWorldRotation(kRotation);

    if (TarnAnim::Skeleton* pSkeleton = pContainer->GetSkeleton())
    {
        TarnAnim::AnimatedSkeleton* pAnimated = pSkeleton->CreateAnimatedSkeleton();
        if (!TARN_ASSERT(pAnimated, "CWorld : no skeleton instance for prefab %s", pContainer->GetName()))
        {
            TARN_DELETE(pInstance);
            return nullptr;
        }
        const uint32 uiSkeletonInstance = pAnimated->GetIndex();
        pInstance->SetSkeletonInstance(uiSkeletonInstance);
        TarnRenderer::AnimActor* pActor =
            m_kAnimManager.CreateActor(m_kContext.uiWorldIndex, pSkeleton, uiSkeletonInstance, pLink);
        if (!TARN_ASSERT(pActor, "CWorld : no anim actor for prefab %s", pContainer->GetName()))
        {
            pSkeleton->DestroyAnimatedSkeleton(uiSkeletonInstance);
            TARN_DELETE(pInstance);
            return nullptr;
        }
        pInstance->SetAnimActor(pActor);
    }
    m_kInstances.Add(pInstance);
    pInstance->SetHandle(m_uiNextHandle++);
    m_kByHandle.Insert(pInstance->GetHandle(), pInstance);

    for (IPluginComponentData* pData : pContainer->GetPluginData())
    {
        const bool bBuilt = pContainer->BuildComponent(pInstance, pLink, pData);
        TARN_ASSERT(bBuilt, "CWorld : no component of type ID 0x%08x was built on an instance of prefab %s",
                    pData ? pData->GetTypeID() : kInvalidIndex, pContainer->GetName());
    }
    return pInstance;
}

bool CWorld::RemoveInstance(PrefabInstance* pInstance)
{
    // Newest first is the usual order of removal.
    const uint32 uiIndex = m_kInstances.FindLast(pInstance);
    if (!TARN_ASSERT(pInstance && uiIndex != TarnRenderer::TArray<PrefabInstance*>::uiMaxValue,
                     "CWorld : the prefab instance is not one of this world's"))
        return false;
    m_kInstances.RemoveAt(uiIndex);
    // From here the handle finds nothing: the components torn down below
    // cannot be reached through it.
    m_kByHandle.Remove(pInstance->GetHandle());

    PrefabContainer* pContainer = pInstance->GetContainer();
    TarnRenderer::Link* pLink = pInstance->GetLink();
    for (IPluginComponentData* pData : pContainer->GetPluginData())
        pContainer->DestroyComponent(pInstance, pLink, pData);
    // Before the actor: a component's destructor may still use it.
    DestroyLinkComponents(*pInstance);

    if (TarnRenderer::AnimActor* pActor = pInstance->GetAnimActor())
    {
        m_kAnimManager.DestroyActor(pActor);
        pInstance->SetAnimActor(nullptr);
    }
    if (pInstance->GetSkeletonInstance() != kInvalidIndex && pContainer->GetSkeleton())
    {
        pContainer->GetSkeleton()->DestroyAnimatedSkeleton(pInstance->GetSkeletonInstance());
        pInstance->SetSkeletonInstance(kInvalidIndex);
    }
    TARN_DELETE(pInstance);
    return true;
}

void CWorld::RemoveAllInstances()
{
    while (!m_kInstances.IsEmpty())
        RemoveInstance(m_kInstances[m_kInstances.GetSize() - 1]);
}

void CWorld::Tick(uint32 uiElapsedMs, Common::CWorkerPool* pPool)
{
    m_kAnimManager.Tick(m_kContext.uiWorldIndex, static_cast<float>(uiElapsedMs), pPool);
}

bool CWorld::HasInstance(const PrefabInstance* pInstance) const
{
    for (const PrefabInstance* pEntry : m_kInstances)
        if (pEntry == pInstance)
            return true;
    return false;
}

PrefabInstance* CWorld::FindInstance(uint64 uiHandle) const
{
    PrefabInstance* const* ppInstance = m_kByHandle.Lookup(uiHandle);
    return ppInstance ? *ppInstance : nullptr;
}

uint32 CWorld::CountInstances(const PrefabContainer* pContainer) const
{
    uint32 uiCount = 0;
    for (const PrefabInstance* pEntry : m_kInstances)
        if (pEntry->GetContainer() == pContainer)
            ++uiCount;
    return uiCount;
}

void CWorld::DestroyLinkComponents(PrefabInstance& kInstance)
{
    TarnRenderer::Link* pLink = kInstance.GetLink();
    for (TarnRenderer::UserData* pRecord = pLink->GetFirstUserData(); pRecord; pRecord = pRecord->m_pNext)
    {
        if (!TARN_ASSERT(pRecord->m_pData && pRecord->m_uiSize >= TarnRenderer::kUserDataHeaderSize,
                         "CWorld : a link user data record of %u bytes holds no component header", pRecord->m_uiSize))
            continue;
        auto* pHeader = static_cast<TarnRenderer::UserDataHeader*>(pRecord->m_pData);
        const uint32 uiCount = pHeader->m_uiCount;
        if (uiCount == 0)
            continue;
        const uint32 uiPayloadSize = pRecord->m_uiSize - TarnRenderer::kUserDataHeaderSize;
        const uint32 uiElementSize = uiPayloadSize / uiCount;
        if (!TARN_ASSERT(uiPayloadSize % uiCount == 0 && uiElementSize >= sizeof(PluginComponent),
                         "CWorld : link user data %s of %u bytes does not hold %u components",
                         TarnRenderer::GetTagText(pHeader->m_uiTag).m_acText, pRecord->m_uiSize, uiCount))
            continue;
        // Counted out first: nothing can reach the elements while they go.
        pHeader->m_uiCount = 0;
        uint8* pElements = reinterpret_cast<uint8*>(pHeader) + TarnRenderer::kUserDataHeaderSize;
        for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
        {
            auto* pComponent = reinterpret_cast<PluginComponent*>(pElements + size_t(uiIdx) * uiElementSize);
            pComponent->~PluginComponent();
        }
    }
    pLink->ReleaseUserData(m_kUserDataPool);
}

}  // namespace TarnEngine

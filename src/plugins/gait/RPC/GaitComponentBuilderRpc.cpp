#include "RPC/GaitComponentBuilderRpc.h"

#include "Commands/CommandManager.h"
#include "Commands/ParamReader.h"
#include "Commands/PointerResolver.h"
#include "Engine/RPC/EngineRemoteClasses.h"
#include "RPC/GaitComponentRpc.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"

namespace RPC {

CGaitComponentBuilderRpc::~CGaitComponentBuilderRpc()
{
    // The facades outlive the registry: they must not come back to it.
    auto kFacades = m_kFacades.Lock();
    for (uint32 i = 0; i < kFacades->GetSize(); ++i)
        (*kFacades)[i]->ForgetRegistry();
    kFacades->Clear();
}

CGaitComponent* CGaitComponentBuilderRpc::GetPrefabComponent(CPrefab* const& _pPrefab)
{
    if (!TARN_ASSERT(_pPrefab, "%s", ""))
        return nullptr;
    TarnEngine::PrefabInstance* pInstance = _pPrefab->GetInstance();
    if (!TARN_REMOTE_CHECK(pInstance, "pInstance", "The prefab has been removed"))
        return nullptr;
    const uint64 uiHandle = pInstance->GetHandle();

    auto kFacades = m_kFacades.Lock();
    for (uint32 i = 0; i < kFacades->GetSize(); ++i)
    {
        CGaitComponent* pFacade = (*kFacades)[i];
        if (pFacade->GetInstanceHandle() == uiHandle)
            return pFacade;
    }
    TarnEngine::CPointerResolver* pResolver = TarnEngine::CPointerResolver::GetInstance();
    if (!TARN_REMOTE_CHECK(pResolver && pResolver->HasRoomFor<IRPCStub_CGaitComponent>(),
                           "HasRoomFor<GaitComponentRpc>",
                           "%u GaitComponentRpc objects are held by clients already: release some first",
                           TarnEngine::CPointerResolver::kMaxObjectsPerType))
        return nullptr;
    CGaitComponent* pFacade =
        TARN_NEW_TAGGED("RPC::CGaitComponentBuilderRpc::GetPrefabComponent", CGaitComponent, uiHandle, this);
    if (!TARN_ASSERT(pFacade, "no memory for a Gait component facade"))
        return nullptr;
    kFacades->Add(pFacade);
    return pFacade;
}

uint32 CGaitComponentBuilderRpc::GetFacadeCount() const
{
    return m_kFacades.Lock()->GetSize();
}

void CGaitComponentBuilderRpc::Forget(const CGaitComponent* pFacade)
{
    auto kFacades = m_kFacades.Lock();
    const uint32 uiIndex = kFacades->Find(const_cast<CGaitComponent*>(pFacade));
    if (uiIndex != Registry::uiMaxValue)
        kFacades->RemoveAt(uiIndex);
}

void RegisterGaitRemoteClasses(TarnEngine::CommandManager& kManager)
{
    kManager.RegisterReleaseRef<IRPCStub_CGaitComponentBuilder>("GaitComponentBuilderRpc");
    kManager.RegisterSingleton<IRPCStub_CGaitComponentBuilder>("GaitComponentBuilderRpc");
    kManager.Register("GaitComponentBuilderRpc", "GetPrefabComponent",
                      &IRPCStub_CGaitComponentBuilder::GetPrefabComponent);

    kManager.RegisterReleaseRef<IRPCStub_CGaitComponent>("GaitComponentRpc");
    kManager.Register("GaitComponentRpc", "Reset", &IRPCStub_CGaitComponent::Reset);
    kManager.Register("GaitComponentRpc", "SetRotation", &IRPCStub_CGaitComponent::SetRotation);
    kManager.Register("GaitComponentRpc", "SetSpeed", &IRPCStub_CGaitComponent::SetSpeed);
    kManager.Register("GaitComponentRpc", "ReloadFromJson", &IRPCStub_CGaitComponent::ReloadFromJson);
    kManager.Register("GaitComponentRpc", "Activate", &IRPCStub_CGaitComponent::Activate);
    kManager.Register("GaitComponentRpc", "IsActive", &IRPCStub_CGaitComponent::IsActive);
    kManager.Register("GaitComponentRpc", "GetState", &IRPCStub_CGaitComponent::GetState);
}

}  // namespace RPC

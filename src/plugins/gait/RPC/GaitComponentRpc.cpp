#include "RPC/GaitComponentRpc.h"

#include "Commands/ParamReader.h"
#include "Engine/Engine.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "RPC/GaitComponentBuilderRpc.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"

namespace RPC {

CGaitComponent::CGaitComponent(uint64 uiInstanceHandle, CGaitComponentBuilderRpc* pRegistry)
    : m_uiInstanceHandle(uiInstanceHandle), m_pRegistry(pRegistry)
{
}

CGaitComponent::~CGaitComponent()
{
    if (m_pRegistry)
        m_pRegistry->Forget(this);
}

GaitPlugin::GaitComponent* CGaitComponent::FindComponent(bool* pbRemoved) const
{
    TarnEngine::PrefabInstance* pInstance = TarnEngine::CEngine::FindPlacedInstance(m_uiInstanceHandle);
    if (pbRemoved)
        *pbRemoved = !pInstance;
    if (!TARN_REMOTE_CHECK(pInstance, "pInstance", "The prefab has been removed"))
        return nullptr;
    return GaitPlugin::GaitComponentBuilder::GetComponent(pInstance->GetLink());
}

void CGaitComponent::Reset()
{
    bool bRemoved = false;
    GaitPlugin::GaitComponent* pComponent = FindComponent(&bRemoved);
    if (bRemoved)
        return;
    // Reported as the failed check "false" of a missing record.
    if (!TARN_ASSERT_TEXT(pComponent, "false", "Couldn't get link user data of type <%s>", "GaitPlugin::GaitComponent"))
        return;
    pComponent->Reset();
}

void CGaitComponent::SetRotation(const Math::Quaternion& kRotation)
{
    if (GaitPlugin::GaitComponent* pComponent = FindComponent())
        pComponent->SetRotation(kRotation);
}

void CGaitComponent::SetSpeed(const float& fSpeed)
{
    if (!TARN_REMOTE_CHECK(fSpeed >= 0.0f && fSpeed <= GaitPlugin::kMaxSpeed, "Arg0",
                           "argument Arg0 must be a speed from 0 to %g", static_cast<double>(GaitPlugin::kMaxSpeed)))
        return;
    if (GaitPlugin::GaitComponent* pComponent = FindComponent())
        pComponent->SetSpeed(fSpeed);
}

void CGaitComponent::ReloadFromJson(const char* const& pText)
{
    // The component reports a text it cannot use; the client gets no result.
    if (GaitPlugin::GaitComponent* pComponent = FindComponent())
        pComponent->ReloadFromJson(pText ? pText : "");
}

void CGaitComponent::Activate(const bool& bActive)
{
    if (GaitPlugin::GaitComponent* pComponent = FindComponent())
        pComponent->Activate(bActive);
}

bool CGaitComponent::IsActive()
{
    GaitPlugin::GaitComponent* pComponent = FindComponent();
    return pComponent && pComponent->IsActive();
}

}  // namespace RPC

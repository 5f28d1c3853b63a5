#include "Plugins/Impl/Gait/RPC/GaitComponentRpc.h"

#include "Plugins/Impl/Gait/Plugin/GaitComponent.h"
#include "Plugins/Impl/Gait/Plugin/GaitComponentBuilder.h"
#include "Plugins/Impl/Gait/RPC/GaitComponentBuilderRpc.h"
#include "Utils/assertion.h"

namespace RPC {

CGaitComponent::CGaitComponent(TarnRenderer::Link* pLink, CGaitComponentBuilderRpc* pRegistry)
    : m_pLink(pLink), m_pRegistry(pRegistry)
{
}

CGaitComponent::~CGaitComponent()
{
    if (m_pRegistry)
        m_pRegistry->Forget(this);
}

GaitPlugin::GaitComponent* CGaitComponent::FindComponent() const
{
    return m_pLink ? GaitPlugin::GaitComponentBuilder::GetComponent(m_pLink) : nullptr;
}

void CGaitComponent::Reset()
{
    GaitPlugin::GaitComponent* pComponent = FindComponent();
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

} // namespace RPC

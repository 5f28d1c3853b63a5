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

CGaitState CGaitComponent::GetState()
{
    CGaitState kState;
    GaitPlugin::GaitComponent* pComponent = FindComponent();
    if (!pComponent)
        return kState;
    const GaitPlugin::GaitActor& kActor = pComponent->GetActor();
    kState.m_bHasComponent = true;
    kState.m_bActive = !kActor.IsStandby();
    kState.m_bArrived = pComponent->HasArrived();
    kState.m_eMovement = kActor.GetCurrentMovement();
    kState.m_fSpeed = pComponent->GetSpeed();
    kState.m_kRotation = pComponent->GetRotation();
    if (const TarnRenderer::Link* pLink = kActor.GetLink())
        kState.m_kPosition = pLink->GetWorldPosition();
    kState.m_fHeadingDegrees = pComponent->GetHeadingDegrees();
    kState.m_fHeadingErrorDegrees = pComponent->GetHeadingErrorDegrees();
    kState.m_uiContactCount = pComponent->TakeFootContacts(kState.m_akContacts, kState.m_uiContactsDropped);
    return kState;
}

void WriteMovement(TarnEngine::JSonParamReader::ResultWriter& kWriter, uint32 eMovement)
{
    if (eMovement < GaitPlugin::EAnimMovement::NB_TYPE)
        kWriter.String(GaitPlugin::g_apAnimMovementNames[eMovement]);
    else
        kWriter.Null();
}

void WriteFootContacts(TarnEngine::JSonParamReader::ResultWriter& kWriter, const GaitPlugin::SFootContact* pContacts,
                       uint32 uiCount)
{
    using TarnEngine::JSonParamReader;
    kWriter.StartArray();
    for (uint32 i = 0; i < uiCount; ++i)
    {
        const GaitPlugin::SFootContact& kContact = pContacts[i];
        kWriter.StartObject();
        kWriter.Key("Movement");
        WriteMovement(kWriter, kContact.eMovement);
        kWriter.Key("Frame");
        kWriter.Uint(kContact.uiFrame);
        kWriter.Key("Position");
        JSonParamReader::WriteValue(kWriter, kContact.kPosition);
        kWriter.Key("TimeMs");
        kWriter.Uint64(kContact.uiTimeMs);
        kWriter.EndObject();
    }
    kWriter.EndArray();
}

void CGaitState::WriteJson(TarnEngine::JSonParamReader::ResultWriter& kWriter) const
{
    using TarnEngine::JSonParamReader;
    if (!m_bHasComponent)
    {
        kWriter.Null();
        return;
    }
    kWriter.StartObject();
    kWriter.Key("Active");
    kWriter.Bool(m_bActive);
    kWriter.Key("Movement");
    WriteMovement(kWriter, m_eMovement);
    kWriter.Key("Speed");
    JSonParamReader::WriteValue(kWriter, m_fSpeed);
    kWriter.Key("Rotation");
    JSonParamReader::WriteValue(kWriter, m_kRotation);
    kWriter.Key("Position");
    JSonParamReader::WriteValue(kWriter, m_kPosition);
    kWriter.Key("Heading");
    JSonParamReader::WriteValue(kWriter, m_fHeadingDegrees);
    kWriter.Key("HeadingError");
    JSonParamReader::WriteValue(kWriter, m_fHeadingErrorDegrees);
    kWriter.Key("Arrived");
    kWriter.Bool(m_bArrived);
    kWriter.Key("Contacts");
    WriteFootContacts(kWriter, m_akContacts, m_uiContactCount);
    kWriter.Key("ContactsDropped");
    kWriter.Uint(m_uiContactsDropped);
    kWriter.EndObject();
}

}  // namespace RPC

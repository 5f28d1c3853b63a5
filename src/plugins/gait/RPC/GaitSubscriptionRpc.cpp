#include "RPC/GaitSubscriptionRpc.h"

#include "Commands/CommandManager.h"
#include "Commands/ParamReader.h"
#include "Engine/Engine.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "RPC/GaitComponentRpc.h"
#include "RPC/PushSchedule.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"

namespace RPC {

namespace {

void WriteState(TarnEngine::JSonParamReader::ResultWriter& kWriter, GaitPlugin::GaitComponent& kComponent,
                const TarnRenderer::Link& kLink)
{
    using TarnEngine::JSonParamReader;
    const uint32 eMovement = kComponent.GetActor().GetCurrentMovement();
    kWriter.StartObject();
    kWriter.Key("Active");
    kWriter.Bool(kComponent.IsActive());
    kWriter.Key("Movement");
    if (eMovement < GaitPlugin::EAnimMovement::NB_TYPE)
        kWriter.String(GaitPlugin::g_apAnimMovementNames[eMovement]);
    else
        kWriter.Null();
    kWriter.Key("Speed");
    JSonParamReader::WriteValue(kWriter, kComponent.GetSpeed());
    kWriter.Key("Rotation");
    JSonParamReader::WriteValue(kWriter, kComponent.GetRotation());
    kWriter.Key("Position");
    JSonParamReader::WriteValue(kWriter, kLink.GetWorldPosition());
    kWriter.Key("Heading");
    JSonParamReader::WriteValue(kWriter, kComponent.GetHeadingDegrees());
    kWriter.EndObject();
}

}  // namespace

CGaitSubscriptionRpc::CGaitSubscriptionRpc(TarnEngine::CStepPublishers* pPublishers) : m_pPublishers(pPublishers)
{
    if (m_pPublishers && !m_pPublishers->Add(this))
        m_pPublishers = nullptr;
}

CGaitSubscriptionRpc::~CGaitSubscriptionRpc()
{
    if (m_pPublishers)
        m_pPublishers->Remove(this);
    while (!m_kSubscriptions.IsEmpty())
        End(m_kSubscriptions.GetSize() - 1);
}

uint32 CGaitSubscriptionRpc::FindCallers() const
{
    const TarnEngine::CPushChannel* pChannel = CallerChannel();
    for (uint32 i = 0; pChannel && i < m_kSubscriptions.GetSize(); ++i)
        if (m_kSubscriptions[i]->pChannel == pChannel)
            return i;
    return kInvalidIndex;
}

void CGaitSubscriptionRpc::Subscribe(const uint32& uiPeriodMs)
{
    if (!TARN_REMOTE_CHECK(uiPeriodMs <= kMaxPeriodMs, "Arg0", "argument Arg0 must be a period from 0 to %u ms",
                           kMaxPeriodMs))
        return;
    const uint32 uiIndex = FindCallers();
    SSubscription* pSubscription = uiIndex != kInvalidIndex ? m_kSubscriptions[uiIndex] : nullptr;
    if (!pSubscription)
    {
        TarnEngine::CPushChannel* pChannel = CallerChannel();
        if (!TARN_REMOTE_CHECK(pChannel, "pChannel",
                               "a subscription is made over a network connection, which its frames are pushed to"))
            return;
        pSubscription = TARN_NEW(SSubscription);
        if (!TARN_ASSERT(pSubscription, "no memory for a Gait subscription"))
            return;
        const uint32 uiBefore = m_kSubscriptions.GetSize();
        m_kSubscriptions.Add(pSubscription);
        if (m_kSubscriptions.GetSize() != uiBefore + 1)
        {
            TARN_DELETE(pSubscription);
            return;
        }
        pChannel->AddRef();
        pSubscription->pChannel = pChannel;
    }
    pSubscription->uiPeriodMs = uiPeriodMs;
    // Due at the next step.
    pSubscription->uiSinceMs = uiPeriodMs;
}

void CGaitSubscriptionRpc::Add(CGaitComponent* const& pComponent)
{
    if (!TARN_REMOTE_CHECK(pComponent, "Arg0", "argument Arg0 must be a GaitComponentRpc"))
        return;
    const uint32 uiIndex = FindCallers();
    if (!TARN_REMOTE_CHECK(uiIndex != kInvalidIndex, "pSubscription",
                           "no subscription on this connection: call Subscribe first"))
        return;
    TarnRenderer::TArray<SCharacter>& kCharacters = m_kSubscriptions[uiIndex]->kCharacters;
    for (const SCharacter& kCharacter : kCharacters)
        if (kCharacter.uiInstanceID == pComponent->GetInstanceID())
            return;
    if (!TARN_REMOTE_CHECK(kCharacters.GetSize() < kMaxCharacters, "kMaxCharacters",
                           "a subscription follows %u characters at most", kMaxCharacters))
        return;
    kCharacters.Add(SCharacter{pComponent->GetInstanceID(), pComponent->GetInstanceHandle()});
}

void CGaitSubscriptionRpc::Remove(CGaitComponent* const& pComponent)
{
    const uint32 uiIndex = FindCallers();
    if (!pComponent || uiIndex == kInvalidIndex)
        return;
    TarnRenderer::TArray<SCharacter>& kCharacters = m_kSubscriptions[uiIndex]->kCharacters;
    for (uint32 i = 0; i < kCharacters.GetSize(); ++i)
        if (kCharacters[i].uiInstanceID == pComponent->GetInstanceID())
        {
            kCharacters.RemoveAt(i);
            return;
        }
}

bool CGaitSubscriptionRpc::Unsubscribe()
{
    const uint32 uiIndex = FindCallers();
    if (uiIndex == kInvalidIndex)
        return false;
    End(uiIndex);
    return true;
}

void CGaitSubscriptionRpc::End(uint32 uiIndex)
{
    SSubscription* pSubscription = m_kSubscriptions[uiIndex];
    m_kSubscriptions.RemoveAt(uiIndex);
    pSubscription->pChannel->Release();
    TARN_DELETE(pSubscription);
}

void CGaitSubscriptionRpc::WriteFrame(SSubscription& kSubscription, uint64 uiStep)
{
    m_kFrame.Clear();
    TarnEngine::JSonParamReader::ResultWriter kWriter(m_kFrame, &m_kJsonAllocator);
    kWriter.StartObject();
    kWriter.Key("Event");
    kWriter.String("GaitState");
    kWriter.Key("Step");
    kWriter.Uint64(uiStep);
    kWriter.Key("Seq");
    kWriter.Uint64(kSubscription.uiSeq);
    kWriter.Key("States");
    kWriter.StartArray();
    TarnRenderer::TArray<SCharacter>& kCharacters = kSubscription.kCharacters;
    for (uint32 i = 0; i < kCharacters.GetSize();)
    {
        kWriter.StartObject();
        kWriter.Key("InstanceID");
        kWriter.Uint(kCharacters[i].uiInstanceID);
        TarnEngine::PrefabInstance* pInstance =
            TarnEngine::CEngine::FindPlacedInstance(kCharacters[i].uiInstanceHandle);
        if (!pInstance)
        {
            kWriter.Key("Removed");
            kWriter.Bool(true);
            kWriter.EndObject();
            kCharacters.RemoveAt(i);
            continue;
        }
        kWriter.Key("State");
        if (GaitPlugin::GaitComponent* pComponent =
                GaitPlugin::GaitComponentBuilder::GetComponent(pInstance->GetLink()))
            WriteState(kWriter, *pComponent, *pInstance->GetLink());
        else
            kWriter.Null();
        kWriter.EndObject();
        ++i;
    }
    kWriter.EndArray();
    kWriter.EndObject();
}

void CGaitSubscriptionRpc::PublishStep(uint64 uiStep, uint32 uiElapsedMs)
{
    for (uint32 i = 0; i < m_kSubscriptions.GetSize();)
    {
        SSubscription& kSubscription = *m_kSubscriptions[i];
        const bool bDue = IsFrameDue(kSubscription.uiSinceMs, kSubscription.uiPeriodMs, uiElapsedMs, kMaxPeriodMs);
        bool bKeep = kSubscription.pChannel->IsOpen();
        if (bKeep && bDue)
        {
            WriteFrame(kSubscription, uiStep);
            // A frame that does not fit drops the connection (the
            // connection logs it): the subscription ends with it.
            bKeep = kSubscription.pChannel->Push(m_kFrame.GetText(), static_cast<uint32>(m_kFrame.GetLength())) ==
                    TarnEngine::CPushChannel::EPush::Queued;
            ++kSubscription.uiSeq;
        }
        if (bKeep)
            ++i;
        else
            End(i);
    }
}

void RegisterGaitSubscriptionRemoteClass(TarnEngine::CommandManager& kManager)
{
    kManager.RegisterReleaseRef<IRPCStub_CGaitSubscription>("GaitSubscriptionRpc");
    kManager.RegisterSingleton<IRPCStub_CGaitSubscription>("GaitSubscriptionRpc");
    kManager.Register("GaitSubscriptionRpc", "Subscribe", &IRPCStub_CGaitSubscription::Subscribe);
    kManager.Register("GaitSubscriptionRpc", "Add", &IRPCStub_CGaitSubscription::Add);
    kManager.Register("GaitSubscriptionRpc", "Remove", &IRPCStub_CGaitSubscription::Remove);
    kManager.Register("GaitSubscriptionRpc", "Unsubscribe", &IRPCStub_CGaitSubscription::Unsubscribe);
}

}  // namespace RPC

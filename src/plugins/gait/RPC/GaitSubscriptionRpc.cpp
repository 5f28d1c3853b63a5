#include "RPC/GaitSubscriptionRpc.h"

#include "Commands/CommandManager.h"
#include "Commands/ParamReader.h"
#include "Engine/Engine.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "RPC/GaitComponentRpc.h"
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
    WriteMovement(kWriter, eMovement);
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

CGaitSubscriptionRpc::CGaitSubscriptionRpc(TarnEngine::CStepPublishers* pPublishers)
    : m_kSubscriptions(pPublishers, this)
{
}

CGaitSubscriptionRpc::~CGaitSubscriptionRpc() = default;

void CGaitSubscriptionRpc::Subscribe(const uint32& uiPeriodMs)
{
    m_kSubscriptions.Open(uiPeriodMs,
                          "a subscription is made over a network connection, which its frames are pushed to");
}

void CGaitSubscriptionRpc::Add(CGaitComponent* const& pComponent)
{
    if (!TARN_REMOTE_CHECK(pComponent, "Arg0", "argument Arg0 must be a GaitComponentRpc"))
        return;
    SSubscription* pSubscription = m_kSubscriptions.FindCallers();
    if (!TARN_REMOTE_CHECK(pSubscription, "pSubscription", "no subscription on this connection: call Subscribe first"))
        return;
    TarnRenderer::TArray<SCharacter>& kCharacters = pSubscription->kCharacters;
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
    SSubscription* pSubscription = m_kSubscriptions.FindCallers();
    if (!pComponent || !pSubscription)
        return;
    TarnRenderer::TArray<SCharacter>& kCharacters = pSubscription->kCharacters;
    for (uint32 i = 0; i < kCharacters.GetSize(); ++i)
        if (kCharacters[i].uiInstanceID == pComponent->GetInstanceID())
        {
            kCharacters.RemoveAt(i);
            return;
        }
}

bool CGaitSubscriptionRpc::Unsubscribe()
{
    return m_kSubscriptions.Close();
}

const TarnEngine::CReturnBuffer& CGaitSubscriptionRpc::WriteFrame(SSubscription& kSubscription, uint64 uiStep)
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
    return m_kFrame;
}

void CGaitSubscriptionRpc::PublishStep(uint64 uiStep, uint32 uiElapsedMs)
{
    m_kSubscriptions.Publish(uiElapsedMs, [&](SSubscription& kSubscription) -> const TarnEngine::CReturnBuffer& {
        return WriteFrame(kSubscription, uiStep);
    });
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

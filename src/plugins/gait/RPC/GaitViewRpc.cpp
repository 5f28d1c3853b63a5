#include "RPC/GaitViewRpc.h"

#include <cmath>

#include "Commands/CommandManager.h"
#include "Commands/ParamReader.h"
#include "DataDynamic/AnimationControl.h"
#include "Engine/Engine.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "RPC/GaitComponentRpc.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/World.h"

namespace RPC {

namespace {

using ResultWriter = TarnEngine::JSonParamReader::ResultWriter;

// Decimal places of the frame's numbers: millimetres for positions, which
// keeps a frame of a thousand characters near 35 KB.
constexpr int kDecimalPlaces = 3;

// Writes a number with at most uiDecimals decimals (trailing zeros cut, 0
// for anything not finite or beyond a billion) by integer arithmetic: a
// frame of a thousand characters holds five thousand numbers, which the
// writer's general conversion makes several times slower.
void WriteFixed(ResultWriter& kWriter, double dValue, uint32 uiDecimals)
{
    static constexpr int64 aiScale[] = {1, 10, 100, 1000};
    const int64 iScale = aiScale[uiDecimals < 3 ? uiDecimals : 3];
    if (!std::isfinite(dValue) || std::fabs(dValue) > 1e9)
        dValue = 0.0;
    int64 iScaled = std::llround(dValue * static_cast<double>(iScale));
    char acText[32];
    char* pEnd = acText + sizeof(acText);
    char* p = pEnd;
    const bool bNegative = iScaled < 0;
    uint64 uiRest = static_cast<uint64>(bNegative ? -iScaled : iScaled);
    // The decimals, without trailing zeros.
    bool bDigits = false;
    for (int64 i = 1; i < iScale; i *= 10)
    {
        const char cDigit = static_cast<char>('0' + uiRest % 10);
        uiRest /= 10;
        if (bDigits || cDigit != '0')
        {
            *--p = cDigit;
            bDigits = true;
        }
    }
    if (bDigits)
        *--p = '.';
    do
    {
        *--p = static_cast<char>('0' + uiRest % 10);
        uiRest /= 10;
    } while (uiRest != 0);
    if (bNegative && iScaled != 0)
        *--p = '-';
    kWriter.RawValue(p, static_cast<size_t>(pEnd - p), rapidjson::kNumberType);
}

double RequestedHeading(const GaitPlugin::GaitComponent& kComponent)
{
    double dHeading = std::remainder(static_cast<double>(kComponent.GetHeadingDegrees()) +
                                         static_cast<double>(kComponent.GetHeadingErrorDegrees()),
                                     360.0);
    if (dHeading <= -180.0)
        dHeading += 360.0;
    return dHeading;
}

int32 MovementIndex(uint32 eMovement)
{
    return eMovement < GaitPlugin::EAnimMovement::NB_TYPE ? static_cast<int32>(eMovement) : -1;
}

void WriteSelected(ResultWriter& kWriter, uint64 uiId, GaitPlugin::GaitComponent& kComponent,
                   const TarnRenderer::Link& kLink)
{
    using TarnEngine::JSonParamReader;
    const GaitPlugin::GaitActor& kActor = kComponent.GetActor();
    const uint32 eMovement = kActor.GetCurrentMovement();
    kWriter.StartObject();
    kWriter.Key("Id");
    kWriter.Uint64(uiId);
    kWriter.Key("Active");
    kWriter.Bool(kComponent.IsActive());
    kWriter.Key("Movement");
    WriteMovement(kWriter, eMovement);
    kWriter.Key("Speed");
    JSonParamReader::WriteValue(kWriter, kComponent.GetSpeed());
    kWriter.Key("Heading");
    WriteFixed(kWriter, kComponent.GetHeadingDegrees(), 1);
    kWriter.Key("RequestedHeading");
    WriteFixed(kWriter, RequestedHeading(kComponent), 1);
    kWriter.Key("HeadingError");
    WriteFixed(kWriter, kComponent.GetHeadingErrorDegrees(), 1);
    kWriter.Key("Arrived");
    kWriter.Bool(kComponent.HasArrived());
    kWriter.Key("Position");
    JSonParamReader::WriteValue(kWriter, kLink.GetWorldPosition());
    kWriter.Key("Contacts");
    GaitPlugin::SFootContact akContacts[GaitPlugin::GaitComponent::kMaxFootContacts];
    uint32 uiDropped = 0;
    WriteFootContacts(kWriter, akContacts, kComponent.TakeFootContacts(akContacts, uiDropped));
    kWriter.Key("Weights");
    kWriter.StartArray();
    for (uint32 m = 0; m < GaitPlugin::EAnimMovement::NB_TYPE; ++m)
    {
        const TarnAnim::AnimationControl* pControl = kActor.GetMovementControl(m);
        JSonParamReader::WriteValue(kWriter, pControl ? pControl->GetEffectiveWeight() : 0.0f);
    }
    kWriter.EndArray();
    kWriter.EndObject();
}

}  // namespace

CGaitViewRpc::CGaitViewRpc(TarnEngine::CStepPublishers* pPublishers) : m_kViews(pPublishers, this)
{
}

CGaitViewRpc::~CGaitViewRpc() = default;

void CGaitViewRpc::Subscribe(const uint32& uiPeriodMs)
{
    m_kViews.Open(uiPeriodMs, "a view is made over a network connection, which its frames are pushed to");
}

void CGaitViewRpc::Select(const uint64& uiId)
{
    SView* pView = m_kViews.FindCallers();
    if (!TARN_REMOTE_CHECK(pView, "pView", "no view on this connection: call Subscribe first"))
        return;
    if (!TARN_REMOTE_CHECK(uiId == 0 || TarnEngine::CEngine::FindPlacedInstance(uiId), "Arg0",
                           "argument Arg0 must be the Id of a placed prefab, or 0: none has %llu",
                           static_cast<unsigned long long>(uiId)))
        return;
    pView->uiSelected = uiId;
}

bool CGaitViewRpc::Unsubscribe()
{
    return m_kViews.Close();
}

const TarnEngine::CReturnBuffer& CGaitViewRpc::WriteFrame(SView& kView, uint64 uiStep)
{
    m_kFrame.Clear();
    ResultWriter kWriter(m_kFrame, &m_kJsonAllocator);
    kWriter.SetMaxDecimalPlaces(kDecimalPlaces);
    kWriter.StartObject();
    kWriter.Key("Event");
    kWriter.String("GaitView");
    kWriter.Key("Step");
    kWriter.Uint64(uiStep);
    kWriter.Key("Seq");
    kWriter.Uint64(kView.uiSeq);
    kWriter.Key("Movements");
    kWriter.StartArray();
    for (uint32 m = 0; m < GaitPlugin::EAnimMovement::NB_TYPE; ++m)
        kWriter.String(GaitPlugin::g_apAnimMovementNames[m]);
    kWriter.EndArray();

    const TarnEngine::CEngine* pEngine =
        TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    const TarnEngine::CWorld* pWorld = pEngine ? pEngine->GetWorld() : nullptr;
    kWriter.Key("Characters");
    kWriter.StartArray();
    for (uint32 i = 0; pWorld && i < pWorld->GetInstances().GetSize(); ++i)
    {
        TarnEngine::PrefabInstance* pInstance = pWorld->GetInstances()[i];
        const TarnRenderer::Link* pLink = pInstance->GetLink();
        const GaitPlugin::GaitComponent* pComponent = GaitPlugin::GaitComponentBuilder::GetComponent(pLink);
        if (!pComponent)
            continue;
        const Math::LocalVector3 kPosition = pLink->GetWorldPosition();
        const uint32 uiFlags = (pComponent->HasArrived() ? 1u : 0u) | (pComponent->GetActor().IsStandby() ? 0u : 2u);
        kWriter.StartArray();
        kWriter.Uint64(pInstance->GetHandle());
        WriteFixed(kWriter, kPosition.x, kDecimalPlaces);
        WriteFixed(kWriter, kPosition.y, kDecimalPlaces);
        WriteFixed(kWriter, pComponent->GetHeadingDegrees(), 1);
        WriteFixed(kWriter, RequestedHeading(*pComponent), 1);
        kWriter.Int(MovementIndex(pComponent->GetActor().GetCurrentMovement()));
        WriteFixed(kWriter, pComponent->GetSpeed(), 2);
        kWriter.Uint(uiFlags);
        kWriter.EndArray();
    }
    kWriter.EndArray();

    kWriter.Key("Selected");
    TarnEngine::PrefabInstance* pSelected =
        kView.uiSelected ? TarnEngine::CEngine::FindPlacedInstance(kView.uiSelected) : nullptr;
    GaitPlugin::GaitComponent* pComponent =
        pSelected ? GaitPlugin::GaitComponentBuilder::GetComponent(pSelected->GetLink()) : nullptr;
    if (pComponent)
        WriteSelected(kWriter, kView.uiSelected, *pComponent, *pSelected->GetLink());
    else
        kWriter.Null();
    if (!pSelected)
        kView.uiSelected = 0;
    kWriter.EndObject();
    return m_kFrame;
}

void CGaitViewRpc::PublishStep(uint64 uiStep, uint32 uiElapsedMs)
{
    m_kViews.Publish(uiElapsedMs,
                     [&](SView& kView) -> const TarnEngine::CReturnBuffer& { return WriteFrame(kView, uiStep); });
}

void RegisterGaitViewRemoteClass(TarnEngine::CommandManager& kManager)
{
    kManager.RegisterReleaseRef<IRPCStub_CGaitView>("GaitViewRpc");
    kManager.RegisterSingleton<IRPCStub_CGaitView>("GaitViewRpc");
    kManager.Register("GaitViewRpc", "Subscribe", &IRPCStub_CGaitView::Subscribe);
    kManager.Register("GaitViewRpc", "Select", &IRPCStub_CGaitView::Select);
    kManager.Register("GaitViewRpc", "Unsubscribe", &IRPCStub_CGaitView::Unsubscribe);
}

}  // namespace RPC

#include "Plugin/GaitPluginEntry.h"

#include "Commands/CommandManager.h"
#include "DataProvider/DataProvider.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "RPC/GaitComponentBuilderRpc.h"
#include "RPC/GaitSubscriptionRpc.h"
#include "RPC/GaitViewRpc.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Posix/PosixClock.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"

namespace GaitPlugin {

namespace {

const char* const kInitTag = "GaitPlugin::GaitComponentBuilder::InitPluginStatic";
// Where the pointer resolver's slot lives; the "already set" line names it,
// as the resolver's own refusal does.
const char* const kResolverSource = "src/libs/tarnengine/Core/CommandManager/CommandInstanceHelper.cpp";

GaitComponentBuilder* s_pBuilder = nullptr;
RPC::CGaitComponentBuilderRpc* s_pBuilderRpc = nullptr;
RPC::CGaitSubscriptionRpc* s_pSubscriptionRpc = nullptr;
RPC::CGaitViewRpc* s_pViewRpc = nullptr;
TarnEngine::EditorPickCallback s_pEditorPickCallback = nullptr;

// Milliseconds of the high-resolution counter, or of the tick count when the
// counter has no frequency.
uint64 GetTimeMs()
{
    int64 i64Frequency = 0;
    int64 i64Counter = 0;
    if (!Common::Posix::QueryPerformanceFrequency(&i64Frequency) || i64Frequency <= 0 ||
        !Common::Posix::QueryPerformanceCounter(&i64Counter) || i64Counter < 0)
        return Common::Posix::GetTickCount();
    const uint64 ui64Counter = static_cast<uint64>(i64Counter);
    const uint64 ui64Frequency = static_cast<uint64>(i64Frequency);
    // counter * 1000 / frequency, without overflowing the product.
    return ui64Counter / ui64Frequency * 1000u + ui64Counter % ui64Frequency * 1000u / ui64Frequency;
}

// Binding an instance slot again with the object it holds changes nothing;
// the accessors are not called for it, since binding also lets go of the
// slot's ownership (a plug-in linked into its host shares the host's slots).
void BindHostInstances(const TarnEngine::PluginParam& kParam)
{
    if (kParam.m_pMemoryManager && kParam.m_pMemoryManager != Common::Mem::CMemoryManager::PeekInstance())
        Common::Mem::CMemoryManager::SetInstance(kParam.m_pMemoryManager);

    auto* pEngine = static_cast<TarnEngine::CEngine*>(kParam.m_pEngine);
    if (pEngine && !(TarnEngine::CEngine::HasInstance() && TarnEngine::CEngine::GetInstance() == pEngine))
        TarnEngine::CEngine::SetInstance(pEngine);

    using DataProvider::DataPoviderInterface;
    auto* pProvider = static_cast<DataPoviderInterface*>(kParam.m_pDataProvider);
    if (pProvider && !(DataPoviderInterface::HasInstance() && DataPoviderInterface::GetInstance() == pProvider))
        DataPoviderInterface::SetInstance(pProvider);

    s_pEditorPickCallback = kParam.m_pEditorPickCallback;
}

// Binds the resolver of the host's command manager and registers the remote
// commands there.
void HookRemoteCommands()
{
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    TarnEngine::CEngineNet* pEngineNet = pEngine ? pEngine->GetEngineNet() : nullptr;
    TarnEngine::CommandManager* pCommands = pEngineNet ? pEngineNet->GetCommandManager() : nullptr;
    if (!TARN_ASSERT(pEngineNet, "No EngineNet instance") ||
        !TARN_ASSERT(pCommands, "The EngineNet instance has no command manager"))
        return;

    TarnEngine::CPointerResolver* pResolver = pCommands->GetPointerResolver();
    TarnEngine::CPointerResolver* pBound = TarnEngine::CPointerResolver::GetInstance();
    if (!pBound)
        TarnEngine::CPointerResolver::SetInstance(pResolver);
    else
        // The earlier resolver stays (the resolver reports a different one
        // itself; the same one again is reported here).
        Common::CDebugLog::Print("%s : Instance has already been set", kResolverSource);

    RPC::RegisterGaitRemoteClasses(*pCommands);
    RPC::RegisterGaitSubscriptionRemoteClass(*pCommands);
    RPC::RegisterGaitViewRemoteClass(*pCommands);
}

void ReseedRandom()
{
    const uint64 ui64TimeMs = GetTimeMs();
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    const uint32 uiFirstSeed = ComputeFirstSeed(ui64TimeMs);
    if (pEngine)
        pEngine->SetRandomSeed(uiFirstSeed);
    Math::SeedRandom(uiFirstSeed);
    const uint32 uiSecondSeed = ComputeSecondSeed(ui64TimeMs, Math::Random32());
    if (pEngine)
        pEngine->SetRandomSeed(uiSecondSeed);
    Math::SeedRandom(uiSecondSeed);
}

}  // namespace

GaitComponentBuilder* GetPluginBuilder()
{
    return s_pBuilder;
}

RPC::CGaitComponentBuilderRpc* GetPluginBuilderRpc()
{
    return s_pBuilderRpc;
}

TarnEngine::EditorPickCallback GetEditorPickCallback()
{
    return s_pEditorPickCallback;
}

uint32 ComputeFirstSeed(uint64 ui64TimeMs)
{
    return static_cast<uint32>(ui64TimeMs);
}

uint32 ComputeSecondSeed(uint64 ui64TimeMs, uint32 uiFirstOutput)
{
    return static_cast<uint32>(ui64TimeMs + uiFirstOutput);
}

bool GaitComponentBuilder::InitPluginStatic(TarnEngine::PluginParam* _pParam)
{
    if (!TARN_ASSERT(_pParam, "InitPlugin without a host context"))
        return false;
    // The memory manager first: nothing may be allocated before it is bound.
    BindHostInstances(*_pParam);
    if (!_pParam->MatchesThisBuild())
        return false;

    // The builder is registered before anything is hooked into the host: a
    // manager that keeps another "Gait" builder (a second copy of this
    // module) refuses it, and this copy then leaves the host's commands and
    // remote singleton to the first one. A second start with the same host
    // keeps what the first one made.
    const bool bNewBuilder = !s_pBuilder;
    if (bNewBuilder)
        s_pBuilder = TARN_NEW_TAGGED(kInitTag, GaitComponentBuilder);
    if (!TARN_ASSERT(s_pBuilder, "no memory for the Gait component builder"))
        return false;
    TarnEngine::IPluginManager* pManager = _pParam->m_pPluginManager;
    if (TARN_ASSERT(pManager, "no plugin manager to register the Gait builder with"))
    {
        pManager->RegisterComponentBuilder(s_pBuilder);
        TarnEngine::PluginComponentBuilder* const* ppRegistered =
            pManager->GetComponentBuilders().Lookup(s_pBuilder->GetDesc()->m_uiComponentId);
        if (!ppRegistered || *ppRegistered != s_pBuilder)
        {
            if (bNewBuilder)
            {
                TARN_DELETE(s_pBuilder);
                s_pBuilder = nullptr;
            }
            return false;
        }
    }

    HookRemoteCommands();
    ReseedRandom();

    if (!s_pBuilderRpc)
        s_pBuilderRpc = TARN_NEW_TAGGED(kInitTag, RPC::CGaitComponentBuilderRpc);
    // Only an engine with an endpoint (hence a resolver) has connections to
    // push frames to.
    if (TarnEngine::CPointerResolver::GetInstance())
    {
        // They publish at the end of the host engine's steps.
        TarnEngine::CEngine* pEngine =
            TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
        TarnEngine::CStepPublishers* pPublishers = pEngine ? &pEngine->GetStepPublishers() : nullptr;
        if (!s_pSubscriptionRpc)
            s_pSubscriptionRpc = TARN_NEW_TAGGED(kInitTag, RPC::CGaitSubscriptionRpc, pPublishers);
        if (!s_pViewRpc)
            s_pViewRpc = TARN_NEW_TAGGED(kInitTag, RPC::CGaitViewRpc, pPublishers);
    }
    return true;
}

bool GaitComponentBuilder::ReleasePluginStatic(TarnEngine::IPluginManager* _pManager)
{
    if (s_pBuilder)
    {
        if (_pManager)
            _pManager->UnregisterComponentBuilder(s_pBuilder->GetDesc()->m_uiComponentId);
        // The components stay in the links' user data.
        TARN_DELETE(s_pBuilder);
        s_pBuilder = nullptr;
    }
    if (s_pBuilderRpc)
    {
        // The facades stay alive, with their clients' references.
        TARN_DELETE(s_pBuilderRpc);
        s_pBuilderRpc = nullptr;
    }
    if (s_pSubscriptionRpc)
    {
        // Its subscriptions end; their connections stay.
        TARN_DELETE(s_pSubscriptionRpc);
        s_pSubscriptionRpc = nullptr;
    }
    if (s_pViewRpc)
    {
        TARN_DELETE(s_pViewRpc);
        s_pViewRpc = nullptr;
    }
    return true;
}

}  // namespace GaitPlugin

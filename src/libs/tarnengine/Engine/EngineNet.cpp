#include "Engine/EngineNet.h"

#include "Commands/CommandManager.h"
#include "Commands/PointerResolver.h"
#include "Engine/RPC/EngineRemoteClasses.h"
#include "Host/EngineHost.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"

namespace TarnEngine {

CEngineNet::CEngineNet() = default;

CEngineNet::~CEngineNet()
{
    Shutdown();
}

bool CEngineNet::Init(const SNetOptions& kOptions)
{
    if (!TARN_ASSERT(!m_pCommandManager, "the network endpoint is initialised already"))
        return false;
    m_pCommandManager = TARN_NEW(CommandManager);
    if (!TARN_ASSERT(m_pCommandManager, "no memory for the command manager"))
        return false;
    // The remote objects register with the process-wide resolver: with
    // another manager's resolver installed, the IDs handed out here could
    // never be resolved.
    if (!TARN_ASSERT(m_pCommandManager->Init(), "another pointer resolver is installed already"))
    {
        TARN_DELETE(m_pCommandManager);
        m_pCommandManager = nullptr;
        return false;
    }
    m_pCommandManager->GetQueue().SetWaitSpinMicroseconds(kOptions.uiSpinMicroseconds);
    // The root registers itself as the "Root" singleton with the resolver
    // that Init installed.
    m_pRoot = TARN_NEW(RPC::CRoot);
    if (!TARN_ASSERT(m_pRoot, "no memory for the root object"))
        return false;
    RegisterRemoteClasses(*m_pCommandManager);

    m_pHost = TARN_NEW(CEngineHost);
    if (!m_pHost)
        return false;
    return m_pHost->Start(*m_pCommandManager, kOptions);
}

void CEngineNet::Stop()
{
    if (m_pHost)
    {
        // No connection is left waiting on the command manager after this.
        m_pHost->Stop();
        TARN_DELETE(m_pHost);
        m_pHost = nullptr;
        // What ran is final now: every request read was run and answered.
        if (m_pCommandManager)
            Common::CDebugLog::Print("TarnEngine : endpoint stopped after running %llu remote commands",
                                     static_cast<unsigned long long>(m_pCommandManager->GetQueue().GetExecutedCount()));
    }
}

void CEngineNet::ReleaseRemoteObjects()
{
    // The root goes first: it holds a reference of its own on the prefab
    // manager.
    if (m_pRoot)
    {
        TARN_DELETE(m_pRoot);
        m_pRoot = nullptr;
    }
    CPointerResolver* pResolver = CPointerResolver::GetInstance();
    const uint32 uiReleased = pResolver ? pResolver->ReleaseAllInstances() : 0;
    if (uiReleased)
        Common::CDebugLog::Print("TarnEngine : %u remote objects still referenced by clients released", uiReleased);
}

void CEngineNet::Shutdown()
{
    Stop();
    if (m_pRoot)
    {
        // Before the command manager: the root leaves its resolver.
        TARN_DELETE(m_pRoot);
        m_pRoot = nullptr;
    }
    if (m_pCommandManager)
    {
        TARN_DELETE(m_pCommandManager);
        m_pCommandManager = nullptr;
    }
}

uint16 CEngineNet::GetPort() const
{
    return m_pHost ? m_pHost->GetPort() : 0;
}

}  // namespace TarnEngine

#include "RPC/ConnectionFeeds.h"

#include "Commands/CommandManager.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"

namespace RPC {

TarnEngine::CPushChannel* CallerChannel()
{
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    TarnEngine::CEngineNet* pNet = pEngine ? pEngine->GetEngineNet() : nullptr;
    TarnEngine::CommandManager* pCommands = pNet ? pNet->GetCommandManager() : nullptr;
    return pCommands ? TarnEngine::CPushChannel::GetCaller(pCommands->GetQueue()) : nullptr;
}

bool IsFrameDue(uint32& uiSinceMs, uint32 uiPeriodMs, uint32 uiElapsedMs, uint32 uiMaxPeriodMs)
{
    if (uiPeriodMs == 0)
        return true;
    const uint32 uiSince = uiSinceMs + (uiElapsedMs < uiMaxPeriodMs ? uiElapsedMs : uiMaxPeriodMs);
    const bool bDue = uiSince >= uiPeriodMs;
    uiSinceMs = bDue ? uiSince % uiPeriodMs : uiSince;
    return bDue;
}

}  // namespace RPC

#include "Engine/Engine.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "Commands/CommandManager.h"
#include "DataProvider/DataProvider.h"
#include "Factory/PrefabContainer.h"
#include "Math/SFMT/SFMT.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Thread/WorkerPool.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"
#include "World/World.h"

namespace TarnEngine {

namespace {

struct SModeName
{
    const char* pName;
    uint32 uiMode;
};

constexpr SModeName kModeNames[] = {
    {"material_editor", EEngineMode::MaterialEditor},
    {"world_editor", EEngineMode::WorldEditor},
    {"prefab_editor", EEngineMode::PrefabEditor},
    {"light_editor", EEngineMode::LightEditor},
};

constexpr const char* kToolchainBasePath = "../Toolchain/";

// Makes the problem of the file pFile the load's one problem.
void FormatPrefabError(Common::CInputErrors& kError, const char* pFile, const char* pProblem)
{
    kError.Reset(pFile, Common::CInputErrors::EForm::FirstProblem, PrefabContainer::kErrorTextCapacity);
    kError.Add("file", "%s", pProblem);
}

}  // namespace

std::atomic<CEngine*> CEngine::s_pInstance{nullptr};
std::atomic<bool> CEngine::s_bOwnedInstance{false};

void SEngineStartup::ReadCommandLine(int iArgc, const char* const* ppArgv)
{
    if (!ppArgv)
        return;
    for (int iArg = 0; iArg + 1 < iArgc; ++iArg)
    {
        if (ppArgv[iArg] && std::strcmp(ppArgv[iArg], "-mode") == 0)
            pModeName = ppArgv[++iArg];
    }
}

CEngine* CEngine::CreateInstance(const SEngineStartup& kStartup)
{
    CEngine* pExisting = s_pInstance.load(std::memory_order_acquire);
    if (!TARN_ASSERT(!pExisting, "TarnEngine is already created"))
        return pExisting;

    void* pBlock;
    {
        Common::Mem::CTagScope kTag("TarnEngine::CEngine::CreateInstance");
        pBlock = TARN_ALLOC_ALIGNED(sizeof(CEngine), alignof(CEngine) > 16 ? alignof(CEngine) : 16);
    }
    if (!pBlock)
        return nullptr;
    CEngine* pEngine = ::new (pBlock) CEngine();
    // The instance before the start: plug-ins that start reach it.
    s_pInstance.store(pEngine, std::memory_order_release);
    s_bOwnedInstance.store(true, std::memory_order_release);
    pEngine->Start(kStartup);
    return pEngine;
}

void CEngine::SetInstance(CEngine* pInstance)
{
    s_bOwnedInstance.store(false, std::memory_order_release);
    s_pInstance.store(pInstance, std::memory_order_release);
}

void CEngine::DestroyInstance()
{
    CEngine* pInstance = s_pInstance.load(std::memory_order_acquire);
    if (!pInstance)
        return;
    if (!s_bOwnedInstance.load(std::memory_order_acquire))
    {
        s_pInstance.store(nullptr, std::memory_order_release);
        return;
    }
    // Still the instance while it shuts down (plug-ins are released then).
    pInstance->~CEngine();
    TARN_FREE(pInstance);
    s_bOwnedInstance.store(false, std::memory_order_release);
    s_pInstance.store(nullptr, std::memory_order_release);
}

uint32 CEngine::GetModeFromName(const char* pName)
{
    if (!pName || !pName[0])
        return EEngineMode::Default;
    for (const SModeName& kEntry : kModeNames)
        if (std::strcmp(kEntry.pName, pName) == 0)
            return kEntry.uiMode;
    TARN_ASSERT(false, "Unknown TarnEngine mode %s", pName);
    return EEngineMode::Default;
}

const char* CEngine::GetDefaultPluginBasePath(uint32 uiMode)
{
    const bool bEditor = uiMode == EEngineMode::MaterialEditor || uiMode == EEngineMode::WorldEditor ||
                         uiMode == EEngineMode::PrefabEditor || uiMode == EEngineMode::LightEditor;
    return bEditor ? "" : kToolchainBasePath;
}

void CEngine::Start(const SEngineStartup& kStartup)
{
    m_uiMode = GetModeFromName(kStartup.pModeName);
    m_uiRandomSeed = kStartup.uiRandomSeed;
    Math::SeedRandom(m_uiRandomSeed);

    if (!DataProvider::DataPoviderInterface::HasInstance())
    {
        m_pDataProvider = DataProvider::DataPoviderInterface::Create();
        m_bOwnsDataProvider = m_pDataProvider != nullptr;
    }
    else
        m_pDataProvider = DataProvider::DataPoviderInterface::GetInstance();
    if (m_pDataProvider && kStartup.pDataRoot)
        m_pDataProvider->SetDataRoot(kStartup.pDataRoot);

    m_pWorld = TARN_NEW_TAGGED("TarnEngine::CEngine::Start", CWorld);
    m_uiMaxInstances = kStartup.uiMaxInstances;
    const uint32 uiThreads = kStartup.uiThreads ? kStartup.uiThreads : Common::CWorkerPool::GetProcessorCount();
    if (uiThreads > 1)
        m_pWorkers = TARN_NEW_TAGGED("TarnEngine::CEngine::Start", Common::CWorkerPool, uiThreads);

    // The endpoint comes before the plug-ins: they register their remote
    // commands with its command manager while they start.
    if (kStartup.bStartNetwork)
    {
        m_pEngineNet = TARN_NEW_TAGGED("TarnEngine::CEngine::Start", CEngineNet);
        if (m_pEngineNet)
            m_pEngineNet->Init(kStartup.kNetOptions);
    }

    const char* pBasePath = kStartup.pPluginBasePath && kStartup.pPluginBasePath[0]
                                ? kStartup.pPluginBasePath
                                : GetDefaultPluginBasePath(m_uiMode);
    const size_t uiBaseLength = std::strlen(pBasePath);
    // A base path too long starts no module.
    const bool bBaseFits =
        TARN_ASSERT(uiBaseLength < kMaxBasePathLength, "TarnEngine : plug-in base path %s is longer than %u characters",
                    pBasePath, kMaxBasePathLength - 1);
    if (bBaseFits)
        std::memcpy(m_acPluginBasePath, pBasePath, uiBaseLength + 1);

    m_pPluginManager = TARN_NEW_TAGGED("TarnEngine::CEngine::Start", BasePluginManager);
    if (!m_pPluginManager)
        return;
    m_pPluginManager->SetEngineInstance(this);
    m_pPluginManager->SetDataProviderInstance(m_pDataProvider);
    if (kStartup.bLoadPlugins && kStartup.pPluginDirectory && kStartup.pPluginDirectory[0])
    {
        if (!m_pPluginManager->LoadPluginDirectory(kStartup.pPluginDirectory))
            Common::CDebugLog::Print("TarnEngine : no plug-in module in %s", kStartup.pPluginDirectory);
    }
    else if (kStartup.bLoadPlugins && bBaseFits && !m_pPluginManager->LoadPlugins(m_acPluginBasePath))
        Common::CDebugLog::Print("TarnEngine : no plug-in module in %sPlugins", m_acPluginBasePath);
    if (kStartup.pStaticPluginHook)
        kStartup.pStaticPluginHook(m_pPluginManager);
}

CEngine::~CEngine()
{
    // No remote call may run while the engine comes apart: the endpoint stops
    // first (connections end, waiting clients get their replies), and what
    // was still queued runs before the instances go. The command manager
    // itself goes last, after the plug-ins have left its resolver.
    if (m_pEngineNet)
    {
        m_pEngineNet->Stop();
        ProcessCommands();
        m_pEngineNet->ReleaseRemoteObjects();
    }
    if (m_pWorld)
        m_pWorld->RemoveAllInstances();
    TARN_DELETE(m_pPluginManager);
    m_pPluginManager = nullptr;
    for (PrefabContainer* pContainer : m_kPrefabs)
        TARN_DELETE(pContainer);
    m_kPrefabs.Clear();
    TARN_DELETE(m_pWorld);
    m_pWorld = nullptr;
    TARN_DELETE(m_pWorkers);
    m_pWorkers = nullptr;
    TARN_DELETE(m_pEngineNet);
    m_pEngineNet = nullptr;
    if (m_bOwnsDataProvider && DataProvider::DataPoviderInterface::HasInstance() &&
        DataProvider::DataPoviderInterface::GetInstance() == m_pDataProvider)
        DataProvider::DataPoviderInterface::Destroy();
    m_pDataProvider = nullptr;
}

bool CEngine::ResolveDataPath(const char* pPath, char* pOut, size_t uiCapacity) const
{
    if (!m_pDataProvider)
    {
        const size_t uiLength = std::strlen(pPath);
        if (uiLength >= uiCapacity)
            return false;
        std::memcpy(pOut, pPath, uiLength + 1);
        return true;
    }
    if (m_pDataProvider->GetResolvedLength(pPath) >= uiCapacity)
        return false;
    return m_pDataProvider->ResolvePath(pPath, pOut, uiCapacity);
}

PrefabContainer* CEngine::LoadPrefab(const char* pPath, Common::CInputErrors* pErrors)
{
    Common::CInputErrors kError;
    PrefabContainer* pContainer = nullptr;
    char acResolved[PrefabContainer::kMaxPathLength];
    if (!pPath || !pPath[0])
        FormatPrefabError(kError, "(no path)", "no file name given");
    else if (!ResolveDataPath(pPath, acResolved, sizeof(acResolved)))
        FormatPrefabError(kError, pPath, "the path resolved against the data root is too long");
    else if ((pContainer = FindResolvedPrefab(acResolved)) != nullptr)
        return pContainer;
    else
    {
        pContainer = TARN_NEW_TAGGED("TarnEngine::CEngine::LoadPrefab", PrefabContainer, m_pPluginManager);
        if (!pContainer)
            FormatPrefabError(kError, acResolved, "out of memory for the container");
        else if (pContainer->LoadFile(acResolved, kError))
        {
            m_kPrefabs.Add(pContainer);
            return pContainer;
        }
        TARN_DELETE(pContainer);
    }
    Common::CDebugLog::Print("%s", kError.GetText());
    if (pErrors)
        *pErrors = kError;
    return nullptr;
}

PrefabContainer* CEngine::FindPrefab(const char* pPath) const
{
    char acResolved[PrefabContainer::kMaxPathLength];
    if (!pPath || !pPath[0] || !ResolveDataPath(pPath, acResolved, sizeof(acResolved)))
        return nullptr;
    return FindResolvedPrefab(acResolved);
}

PrefabContainer* CEngine::FindResolvedPrefab(const char* pResolvedPath) const
{
    for (PrefabContainer* pContainer : m_kPrefabs)
        if (std::strcmp(pContainer->GetPath(), pResolvedPath) == 0)
            return pContainer;
    return nullptr;
}

PrefabInstance* CEngine::InstancePrefab(PrefabContainer* pContainer, const Math::LocalVector3& kPosition,
                                        const Math::Quaternion& kRotation)
{
    const bool bOwned = pContainer && m_kPrefabs.Find(pContainer) != TarnRenderer::TArray<PrefabContainer*>::uiMaxValue;
    if (!TARN_ASSERT(bOwned, "TarnEngine : the prefab container was not loaded by this engine"))
        return nullptr;
    if (!m_pWorld)
        return nullptr;
    if (!TARN_ASSERT(m_pWorld->GetInstances().GetSize() < m_uiMaxInstances,
                     "TarnEngine : the world holds %u instances already", m_uiMaxInstances))
        return nullptr;
    return m_pWorld->InstancePrefab(pContainer, kPosition, kRotation);
}

bool CEngine::RemoveInstance(PrefabInstance* pInstance)
{
    return m_pWorld && m_pWorld->RemoveInstance(pInstance);
}

PrefabInstance* CEngine::FindPlacedInstance(uint64 uiHandle)
{
    CEngine* pEngine = s_pInstance.load(std::memory_order_acquire);
    CWorld* pWorld = pEngine ? pEngine->GetWorld() : nullptr;
    return pWorld ? pWorld->FindInstance(uiHandle) : nullptr;
}

uint32 CEngine::ProcessCommands()
{
    CommandManager* pCommands = m_pEngineNet ? m_pEngineNet->GetCommandManager() : nullptr;
    return pCommands ? pCommands->ProcessQueue() : 0;
}

void CEngine::Step(uint32 uiElapsedMs)
{
    ProcessCommands();
    if (m_pPluginManager)
    {
        // Updates on several threads may make controls: the skeletons'
        // tables stay put meanwhile.
        if (m_pWorkers && m_pWorld)
            m_pWorld->BeginParallelPhase();
        m_pPluginManager->UpdateComponentBuilders(nullptr, StepTime{uiElapsedMs}, m_pWorkers);
        if (m_pWorkers && m_pWorld)
            m_pWorld->EndParallelPhase();
    }
    if (m_pWorld)
        m_pWorld->Tick(uiElapsedMs, m_pWorkers);
    m_kStepPublishers.Publish(uiElapsedMs);
}

}  // namespace TarnEngine

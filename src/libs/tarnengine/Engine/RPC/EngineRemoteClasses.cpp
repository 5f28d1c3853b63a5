#include "Engine/RPC/EngineRemoteClasses.h"

#include <cmath>

#include "Commands/CommandManager.h"
#include "Commands/ParamReader.h"
#include "Commands/PointerResolver.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/World.h"

namespace RPC {

// ---------------------------------------------------------------------------
// Prefab

CPrefab::~CPrefab() = default;

TarnEngine::PrefabInstance* CPrefab::GetInstance() const
{
    return TarnEngine::CEngine::FindPlacedInstance(m_uiHandle);
}

TarnEngine::PrefabInstance* CPrefab::FindInstanceChecked() const
{
    TarnEngine::PrefabInstance* pInstance = GetInstance();
    TARN_REMOTE_CHECK(pInstance, "pInstance", "The prefab has been removed");
    return pInstance;
}

Math::LocalVector3 CPrefab::GetPosition()
{
    TarnEngine::PrefabInstance* pInstance = FindInstanceChecked();
    return pInstance ? pInstance->GetLink()->GetWorldPosition() : Math::LocalVector3();
}

Math::Quaternion CPrefab::GetOrientation()
{
    TarnEngine::PrefabInstance* pInstance = FindInstanceChecked();
    return pInstance ? pInstance->GetLink()->GetWorldRotation() : Math::Quaternion::Identity();
}

void CPrefab::SetPosition(const Math::LocalVector3& kPosition)
{
    const float fBound = TarnEngine::CWorld::kWorldBound;
    const bool bInside =
        std::fabs(kPosition.x) <= fBound && std::fabs(kPosition.y) <= fBound && std::fabs(kPosition.z) <= fBound;
    if (!TARN_REMOTE_CHECK(bInside, "Arg0", "argument Arg0 must be a position within %.0f m of the origin on each axis",
                           static_cast<double>(fBound)))
        return;
    if (TarnEngine::PrefabInstance* pInstance = FindInstanceChecked())
        pInstance->GetLink()->SetWorldPosition(kPosition);
}

void CPrefab::SetOrientation(const Math::Quaternion& kOrientation)
{
    // Remote arguments arrive normalised and of non-zero length; engine
    // callers get the identity for a rotation of no length.
    if (TarnEngine::PrefabInstance* pInstance = FindInstanceChecked())
        pInstance->GetLink()->SetWorldRotation(kOrientation.Normalized());
}

// ---------------------------------------------------------------------------
// Prefab manager

CPrefab* CPrefabManager::LoadFile(const char* const& pPath)
{
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    if (!TARN_ASSERT(pEngine, "No engine to load prefab %s into", pPath ? pPath : "(null)"))
        return nullptr;
    TarnEngine::CPointerResolver* pResolver = TarnEngine::CPointerResolver::GetInstance();
    if (!TARN_REMOTE_CHECK(pResolver && pResolver->HasRoomFor<IRPCStub_CPrefab>(), "HasRoomFor<Prefab>",
                           "%u Prefab objects are held by clients already: release some first",
                           TarnEngine::CPointerResolver::kMaxObjectsPerType))
        return nullptr;
    TarnEngine::PrefabContainer* pContainer = pEngine->LoadPrefab(pPath);
    if (!TARN_ASSERT(pContainer, "Could not load prefab %s", pPath ? pPath : "(null)"))
        return nullptr;
    TarnEngine::PrefabInstance* pInstance =
        pEngine->InstancePrefab(pContainer, Math::LocalVector3(), Math::Quaternion::Identity());
    if (!pInstance)
        return nullptr;
    return TARN_NEW_TAGGED("RPC::CPrefabManager::LoadFile", CPrefab, pInstance->GetHandle());
}

bool CPrefabManager::RemovePrefab(CPrefab* const& pPrefab)
{
    TarnEngine::PrefabInstance* pInstance = pPrefab ? pPrefab->GetInstance() : nullptr;
    if (!pInstance)
        return false;
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    return pEngine && pEngine->RemoveInstance(pInstance);
}

// ---------------------------------------------------------------------------
// Root

CRoot::~CRoot()
{
    // The root holds one reference of its own to its prefab manager (unless
    // clients released it already).
    if (CPrefabManager* pManager = FindPrefabManager())
        pManager->ReleaseRef();
}

CPrefabManager* CRoot::FindPrefabManager() const
{
    // Looked up by ID, never kept as a pointer: clients may have destroyed
    // it, and IDs are never reused.
    using Stored = TarnEngine::CInstanceManager<IRPCStub_CPrefabManager>;
    TarnEngine::CPointerResolver* pResolver = TarnEngine::CPointerResolver::GetInstance();
    void* pStored = pResolver && m_uiPrefabManagerID != kInvalidIndex
                        ? pResolver->FindPtr(Common::GetClassId<IRPCStub_CPrefabManager>(), m_uiPrefabManagerID)
                        : nullptr;
    return pStored ? static_cast<CPrefabManager*>(static_cast<Stored*>(pStored)) : nullptr;
}

void CRoot::ForceQuit()
{
    if (TarnEngine::CEngine::HasInstance())
        TarnEngine::CEngine::GetInstance()->RequestQuit();
}

uint64 CRoot::GetExecutedCount()
{
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
    TarnEngine::CEngineNet* pNet = pEngine ? pEngine->GetEngineNet() : nullptr;
    TarnEngine::CommandManager* pManager = pNet ? pNet->GetCommandManager() : nullptr;
    // The count is taken while this command runs: count it too.
    return pManager ? pManager->GetQueue().GetExecutedCount() + 1 : 0;
}

CPrefabManager* CRoot::GetPrefabManager()
{
    CPrefabManager* pManager = FindPrefabManager();
    if (!pManager)
    {
        pManager = TARN_NEW_TAGGED("RPC::CRoot::GetPrefabManager", CPrefabManager);
        if (!pManager)
            return nullptr;
        pManager->AddRef();
        m_uiPrefabManagerID = pManager->GetInstanceID();
    }
    return pManager;
}

}  // namespace RPC

namespace TarnEngine {

void RegisterRemoteClasses(CommandManager& kManager)
{
    kManager.RegisterSingleton<RPC::IRPCStub_CRoot>("Root");
    kManager.Register("Root", "IsLoadingFinished", &RPC::IRPCStub_CRoot::IsLoadingFinished);
    kManager.Register("Root", "GetPrefabManager", &RPC::IRPCStub_CRoot::GetPrefabManager);
    // A keep-alive touches nothing of the engine: safe on a network thread.
    kManager.Register("Root", "KeepAlive", &RPC::IRPCStub_CRoot::KeepAlive, true);
    // Reads a counter only: safe on a network thread too.
    kManager.Register("Root", "GetExecutedCount", &RPC::IRPCStub_CRoot::GetExecutedCount, true);
    kManager.Register("Root", "ForceQuit", &RPC::IRPCStub_CRoot::ForceQuit);
    kManager.RegisterReleaseRef<RPC::IRPCStub_CRoot>("Root");

    kManager.Register("PrefabManager", "LoadFile", &RPC::IRPCStub_CPrefabManager::LoadFile);
    kManager.Register("PrefabManager", "RemovePrefab", &RPC::IRPCStub_CPrefabManager::RemovePrefab);
    kManager.RegisterReleaseRef<RPC::IRPCStub_CPrefabManager>("PrefabManager");

    kManager.Register("Prefab", "GetPosition", &RPC::IRPCStub_CPrefab::GetPosition);
    kManager.Register("Prefab", "GetOrientation", &RPC::IRPCStub_CPrefab::GetOrientation);
    kManager.Register("Prefab", "SetPosition", &RPC::IRPCStub_CPrefab::SetPosition);
    kManager.Register("Prefab", "SetOrientation", &RPC::IRPCStub_CPrefab::SetOrientation);
    kManager.RegisterReleaseRef<RPC::IRPCStub_CPrefab>("Prefab");
}

}  // namespace TarnEngine

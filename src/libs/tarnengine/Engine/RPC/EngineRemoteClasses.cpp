#include "Engine/RPC/EngineRemoteClasses.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "Commands/CommandManager.h"
#include "Commands/ParamReader.h"
#include "Commands/PointerResolver.h"
#include "DataProvider/DataProvider.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Factory/PrefabContainer.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/InputErrors.h"
#include "Utils/assertion.h"
#include "World/PrefabInstance.h"
#include "World/World.h"

namespace RPC {

namespace {

TarnEngine::CEngine* FindEngine()
{
    return TarnEngine::CEngine::HasInstance() ? TarnEngine::CEngine::GetInstance() : nullptr;
}

// Whether a client may place something there: float positions keep
// millimetres within the world's bound.
bool IsWithinWorld(const Math::LocalVector3& kPosition)
{
    const float fBound = TarnEngine::CWorld::kWorldBound;
    return std::fabs(kPosition.x) <= fBound && std::fabs(kPosition.y) <= fBound && std::fabs(kPosition.z) <= fBound;
}

// A turn of fDegrees about Z (positive turns left).
Math::Quaternion HeadingRotation(float fDegrees)
{
    // Whole turns dropped first, so that the angle keeps its precision.
    const double dRadians = std::fmod(static_cast<double>(fDegrees), 360.0) * std::numbers::pi / 180.0;
    return Math::Quaternion(0.0f, 0.0f, static_cast<float>(std::sin(dRadians / 2.0)),
                            static_cast<float>(std::cos(dRadians / 2.0)));
}

// A prefab file as clients name it when they load it: relative to the data
// root when it lies below it, else as it was loaded.
const char* ClientPath(const char* pPath)
{
    const DataProvider::DataPoviderInterface* pProvider =
        DataProvider::DataPoviderInterface::HasInstance() ? DataProvider::DataPoviderInterface::GetInstance() : nullptr;
    const char* pRoot = pProvider ? pProvider->GetDataRoot() : "";
    const size_t uiRoot = strlen(pRoot);
    if (uiRoot && strncmp(pPath, pRoot, uiRoot) == 0 && pPath[uiRoot] == '/')
        return pPath + uiRoot + 1;
    return pPath;
}

// Whether clients may take one more Prefab object; refuses the call when not.
bool CheckRoomForPrefab()
{
    TarnEngine::CPointerResolver* pResolver = TarnEngine::CPointerResolver::GetInstance();
    return TARN_REMOTE_CHECK(pResolver && pResolver->HasRoomFor<IRPCStub_CPrefab>(), "HasRoomFor<Prefab>",
                             "%u Prefab objects are held by clients already: release some first",
                             TarnEngine::CPointerResolver::kMaxObjectsPerType);
}

}  // namespace

// ---------------------------------------------------------------------------
// Result lists

void CPrefabList::WriteJson(TarnEngine::JSonParamReader::ResultWriter& kWriter) const
{
    kWriter.StartArray();
    for (const SEntry& kEntry : m_kEntries)
    {
        kWriter.StartObject();
        kWriter.Key("Id");
        kWriter.Uint64(kEntry.uiId);
        kWriter.Key("File");
        kWriter.String(ClientPath(kEntry.pContainer->GetPath()));
        kWriter.Key("Name");
        kWriter.String(kEntry.pContainer->GetName());
        kWriter.EndObject();
    }
    kWriter.EndArray();
}

void CClassList::WriteJson(TarnEngine::JSonParamReader::ResultWriter& kWriter) const
{
    // One entry per class, where its first method was registered; its
    // methods in their order.
    const uint32 uiCount = m_kMethods.GetSize();
    const auto SameClass = [&](uint32 uiA, uint32 uiB) {
        return strcmp(m_kMethods[uiA].pClassName, m_kMethods[uiB].pClassName) == 0;
    };
    kWriter.StartArray();
    for (uint32 uiFirst = 0; uiFirst < uiCount; ++uiFirst)
    {
        bool bListed = false;
        for (uint32 uiEarlier = 0; uiEarlier < uiFirst && !bListed; ++uiEarlier)
            bListed = SameClass(uiEarlier, uiFirst);
        if (bListed)
            continue;
        kWriter.StartObject();
        kWriter.Key("Class");
        kWriter.String(m_kMethods[uiFirst].pClassName);
        kWriter.Key("Singleton");
        kWriter.Bool(m_kMethods[uiFirst].bSingletonClass);
        kWriter.Key("Methods");
        kWriter.StartArray();
        for (uint32 uiMethod = uiFirst; uiMethod < uiCount; ++uiMethod)
        {
            if (!SameClass(uiFirst, uiMethod))
                continue;
            const TarnEngine::SRemoteMethodInfo& kMethod = m_kMethods[uiMethod];
            kWriter.StartObject();
            kWriter.Key("Method");
            kWriter.String(kMethod.pMethodName);
            kWriter.Key("Args");
            kWriter.StartArray();
            for (uint32 uiArg = 0; uiArg < kMethod.uiArgCount; ++uiArg)
                kWriter.String(kMethod.apArgTypes[uiArg]);
            kWriter.EndArray();
            kWriter.Key("Result");
            kWriter.String(kMethod.pResultType);
            kWriter.Key("UseTcpThread");
            kWriter.Bool(kMethod.bSafeOffEngineThread);
            kWriter.EndObject();
        }
        kWriter.EndArray();
        kWriter.EndObject();
    }
    kWriter.EndArray();
}

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
    if (!TARN_REMOTE_CHECK(IsWithinWorld(kPosition), "Arg0",
                           "argument Arg0 must be a position within %.0f m of the origin on each axis",
                           static_cast<double>(TarnEngine::CWorld::kWorldBound)))
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

CPrefab* CPrefabManager::LoadFile(const char* const& pPath, const std::optional<Math::LocalVector3>& kPosition,
                                  const std::optional<float>& fHeadingDegrees)
{
    TarnEngine::CEngine* pEngine = FindEngine();
    if (!TARN_ASSERT(pEngine, "No engine to load prefab %s into", pPath ? pPath : "(null)"))
        return nullptr;
    if (kPosition && !TARN_REMOTE_CHECK(IsWithinWorld(*kPosition), "Arg1",
                                        "argument Arg1 must be a position within %.0f m of the origin on each axis",
                                        static_cast<double>(TarnEngine::CWorld::kWorldBound)))
        return nullptr;
    if (!CheckRoomForPrefab())
        return nullptr;
    const TarnEngine::CWorld* pWorld = pEngine->GetWorld();
    const uint32 uiMaxInstances = pEngine->GetMaxInstances();
    if (!TARN_REMOTE_CHECK(pWorld && pWorld->GetInstances().GetSize() < uiMaxInstances, "kMaxInstances",
                           "%u prefabs are placed already: remove some first", uiMaxInstances))
        return nullptr;
    // The loader names the file and what is wrong with it; that text is the
    // client's answer (the engine logs it too).
    Common::CInputErrors kErrors;
    TarnEngine::PrefabContainer* pContainer = pEngine->LoadPrefab(pPath, &kErrors);
    if (!pContainer)
    {
        TarnEngine::RefuseRemoteInput(kErrors);
        return nullptr;
    }
    const Math::Quaternion kRotation =
        fHeadingDegrees ? HeadingRotation(*fHeadingDegrees) : Math::Quaternion::Identity();
    TarnEngine::PrefabInstance* pInstance =
        pEngine->InstancePrefab(pContainer, kPosition.value_or(Math::LocalVector3()), kRotation);
    if (!TARN_REMOTE_CHECK(pInstance, "pInstance", "%s: the prefab could not be placed",
                           ClientPath(pContainer->GetPath())))
        return nullptr;
    return TARN_NEW_TAGGED("RPC::CPrefabManager::LoadFile", CPrefab, pInstance->GetHandle());
}

bool CPrefabManager::RemovePrefab(CPrefab* const& pPrefab)
{
    TarnEngine::PrefabInstance* pInstance = pPrefab ? pPrefab->GetInstance() : nullptr;
    if (!pInstance)
        return false;
    TarnEngine::CEngine* pEngine = FindEngine();
    return pEngine && pEngine->RemoveInstance(pInstance);
}

CPrefabList CPrefabManager::ListPrefabs()
{
    CPrefabList kList;
    const TarnEngine::CEngine* pEngine = FindEngine();
    const TarnEngine::CWorld* pWorld = pEngine ? pEngine->GetWorld() : nullptr;
    if (!pWorld)
        return kList;
    kList.m_kEntries.Reserve(pWorld->GetInstances().GetSize());
    for (const TarnEngine::PrefabInstance* pInstance : pWorld->GetInstances())
        kList.m_kEntries.Add({pInstance->GetHandle(), pInstance->GetContainer()});
    return kList;
}

CPrefab* CPrefabManager::GetPrefab(const uint64& uiId)
{
    const TarnEngine::PrefabInstance* pInstance = TarnEngine::CEngine::FindPlacedInstance(uiId);
    if (!TARN_REMOTE_CHECK(pInstance, "Arg0", "argument Arg0 must be the Id of a placed prefab: none has %llu",
                           static_cast<unsigned long long>(uiId)))
        return nullptr;
    if (!CheckRoomForPrefab())
        return nullptr;
    return TARN_NEW_TAGGED("RPC::CPrefabManager::GetPrefab", CPrefab, pInstance->GetHandle());
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
    TarnEngine::CEngine* pEngine = FindEngine();
    TarnEngine::CEngineNet* pNet = pEngine ? pEngine->GetEngineNet() : nullptr;
    TarnEngine::CommandManager* pManager = pNet ? pNet->GetCommandManager() : nullptr;
    // The count is taken while this command runs: count it too.
    return pManager ? pManager->GetQueue().GetExecutedCount() + 1 : 0;
}

CClassList CRoot::GetClasses()
{
    CClassList kList;
    if (TARN_REMOTE_CHECK(m_pCommands, "m_pCommands", "the root was not bound to a command registry"))
        m_pCommands->ListCommands(kList.m_kMethods);
    return kList;
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
    kManager.Register("Root", "GetClasses", &RPC::IRPCStub_CRoot::GetClasses);
    kManager.RegisterReleaseRef<RPC::IRPCStub_CRoot>("Root");

    kManager.Register("PrefabManager", "LoadFile", &RPC::IRPCStub_CPrefabManager::LoadFile);
    kManager.Register("PrefabManager", "RemovePrefab", &RPC::IRPCStub_CPrefabManager::RemovePrefab);
    kManager.Register("PrefabManager", "ListPrefabs", &RPC::IRPCStub_CPrefabManager::ListPrefabs);
    kManager.Register("PrefabManager", "GetPrefab", &RPC::IRPCStub_CPrefabManager::GetPrefab);
    kManager.RegisterReleaseRef<RPC::IRPCStub_CPrefabManager>("PrefabManager");

    kManager.Register("Prefab", "GetPosition", &RPC::IRPCStub_CPrefab::GetPosition);
    kManager.Register("Prefab", "GetOrientation", &RPC::IRPCStub_CPrefab::GetOrientation);
    kManager.Register("Prefab", "SetPosition", &RPC::IRPCStub_CPrefab::SetPosition);
    kManager.Register("Prefab", "SetOrientation", &RPC::IRPCStub_CPrefab::SetOrientation);
    kManager.Register("Prefab", "GetId", &RPC::IRPCStub_CPrefab::GetId);
    kManager.RegisterReleaseRef<RPC::IRPCStub_CPrefab>("Prefab");

    // The root lists the classes of the registry it was registered with.
    TarnEngine::CPointerResolver* pResolver = kManager.GetPointerResolver();
    if (auto* pRoot = pResolver ? dynamic_cast<RPC::CRoot*>(pResolver->GetSingleton<RPC::IRPCStub_CRoot>()) : nullptr)
        pRoot->SetCommandManager(&kManager);
}

}  // namespace TarnEngine

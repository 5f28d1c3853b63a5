// Engine steps of 16 ms with many demo characters: the demo prefab instanced
// by the engine, the Gait builder registered as a static plug-in, every
// character walking, turning and stopping on a fixed script, on 1 or more
// threads. Measures the nanoseconds per character step, whole and split the
// way CEngine::Step runs it (command drain, component updates, animation tick
// with root motion), and what a character costs in memory: resident bytes and
// memory-manager bytes, taken before instancing and after instancing plus a
// warm-up. After the warm-up every character's position, rotation and
// movement are hashed: a run on several threads must give the hash of the
// run on one (it fails otherwise).
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "Engine/Engine.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "Plugins/PluginParam.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Thread/WorkerPool.h"
#include "World/PrefabInstance.h"
#include "World/World.h"
#include "support/Crowd.h"

using GaitPlugin::GaitComponentBuilder;
using TarnEngine::CEngine;

namespace {

constexpr uint32 kStepMs = 16;
constexpr uint32 kWarmUpSteps = 60;

// Resident bytes of the process.
double ResidentBytes()
{
    unsigned long ulSize = 0;
    unsigned long ulResident = 0;
    FILE* pFile = std::fopen("/proc/self/statm", "r");
    if (!pFile)
        return 0.0;
    if (std::fscanf(pFile, "%lu %lu", &ulSize, &ulResident) != 2)
        ulResident = 0;
    std::fclose(pFile);
    return static_cast<double>(ulResident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// How many instances stand elsewhere than at the given positions.
uint32 CountMoved(const std::vector<TarnEngine::PrefabInstance*>& kInstances,
                  const std::vector<Math::LocalVector3>& kFrom)
{
    uint32 uiMoved = 0;
    for (size_t i = 0; i < kInstances.size(); ++i)
    {
        const Math::LocalVector3& kNow = kInstances[i]->GetLink()->GetWorldPosition();
        if (kNow.x != kFrom[i].x || kNow.y != kFrom[i].y)
            ++uiMoved;
    }
    return uiMoved;
}

std::vector<Math::LocalVector3> Positions(const std::vector<TarnEngine::PrefabInstance*>& kInstances)
{
    std::vector<Math::LocalVector3> kPositions;
    for (const TarnEngine::PrefabInstance* pInstance : kInstances)
        kPositions.push_back(pInstance->GetLink()->GetWorldPosition());
    return kPositions;
}

void EngineStep(benchmark::State& kState)
{
    const uint32 uiCharacters = static_cast<uint32>(kState.range(0));
    const uint32 uiThreads = static_cast<uint32>(kState.range(1));
    static const std::string s_kDataDir = TARN_DATA_DIR;
    // The hash after the warm-up of the first run of each crowd size.
    static std::map<uint32, uint64_t> s_kHashes;
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = s_kDataDir.c_str();
    kStartup.bStartNetwork = false;
    kStartup.uiThreads = uiThreads;
    kStartup.uiMaxInstances = 100000;
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&GaitComponentBuilder::InitBuilderOnly,
                                       &GaitComponentBuilder::ReleaseBuilderOnly);
    };
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    TarnEngine::PrefabContainer* pPrefab = pEngine ? pEngine->LoadPrefab("demo/biped.prefab.json") : nullptr;
    if (!pPrefab || !GaitComponentBuilder::GetBuilderOnly())
    {
        kState.SkipWithError("engine, Gait builder or demo prefab missing");
        CEngine::DestroyInstance();
        return;
    }
    Math::SeedRandom(7);

    // Memory freed by an earlier run goes back to the system first, so that
    // each run counts what its own characters take.
    malloc_trim(0);
    Common::Mem::CMemoryManager* pMemory = Common::Mem::CMemoryManager::GetInstance();
    const double dRssBefore = ResidentBytes();
    const double dHeapBefore = static_cast<double>(pMemory->GetAllocatedBytes());
    TestSupport::SCrowd kCrowd = TestSupport::PlaceCrowd(*pEngine, pPrefab, uiCharacters);
    const std::vector<TarnEngine::PrefabInstance*>& kInstances = kCrowd.kInstances;
    const std::vector<Math::LocalVector3> kPlaces = Positions(kInstances);

    uint32 uiStep = 0;
    for (; uiStep < kWarmUpSteps; ++uiStep)
    {
        TestSupport::ApplyCrowdScript(kCrowd, uiStep);
        pEngine->Step(kStepMs);
    }
    const uint64_t ui64Hash = TestSupport::HashCrowd(kCrowd);
    const auto [kFirst, bFirst] = s_kHashes.emplace(uiCharacters, ui64Hash);
    const bool bSameAsFirst = bFirst || kFirst->second == ui64Hash;
    const double dRssAfter = ResidentBytes();
    const double dHeapAfter = static_cast<double>(pMemory->GetAllocatedBytes());
    const std::vector<Math::LocalVector3> kWarmedUp = Positions(kInstances);

    // What CEngine::Step does, timed phase by phase.
    TarnEngine::BasePluginManager* pPlugins = pEngine->GetPluginManager();
    TarnEngine::CWorld* pWorld = pEngine->GetWorld();
    double dDrainNs = 0.0;
    double dUpdateNs = 0.0;
    double dTickNs = 0.0;
    for (auto _ : kState)
    {
        TestSupport::ApplyCrowdScript(kCrowd, uiStep++);
        const auto kT0 = std::chrono::steady_clock::now();
        pEngine->ProcessCommands();
        const auto kT1 = std::chrono::steady_clock::now();
        // As CEngine::Step does it, with the same threads.
        Common::CWorkerPool* pWorkers = pEngine->GetWorkers();
        if (pWorkers)
            pWorld->BeginParallelPhase();
        pPlugins->UpdateComponentBuilders(nullptr, TarnEngine::StepTime{kStepMs}, pWorkers);
        if (pWorkers)
            pWorld->EndParallelPhase();
        const auto kT2 = std::chrono::steady_clock::now();
        pWorld->Tick(kStepMs, pWorkers);
        const auto kT3 = std::chrono::steady_clock::now();
        dDrainNs += std::chrono::duration<double, std::nano>(kT1 - kT0).count();
        dUpdateNs += std::chrono::duration<double, std::nano>(kT2 - kT1).count();
        dTickNs += std::chrono::duration<double, std::nano>(kT3 - kT2).count();
    }

    // Every character walked off its place, and the timed steps moved some.
    if (kInstances.size() != uiCharacters)
        kState.SkipWithError("not every character was instanced");
    else if (!bSameAsFirst)
        kState.SkipWithError("the characters are not where the first run of this crowd left them");
    else if (CountMoved(kInstances, kPlaces) != uiCharacters)
        kState.SkipWithError("a character never moved");
    else if (kState.iterations() > 0 && CountMoved(kInstances, kWarmedUp) == 0)
        kState.SkipWithError("no character moved during the timed steps");

    const double dSteps = static_cast<double>(kState.iterations()) * uiCharacters;
    if (dSteps > 0.0)
    {
        kState.counters["ns_per_character_step"] = (dDrainNs + dUpdateNs + dTickNs) / dSteps;
        kState.counters["ns_command_drain"] = dDrainNs / dSteps;
        kState.counters["ns_component_update"] = dUpdateNs / dSteps;
        kState.counters["ns_anim_tick"] = dTickNs / dSteps;
    }
    kState.counters["rss_bytes_per_character"] = (dRssAfter - dRssBefore) / uiCharacters;
    kState.counters["heap_bytes_per_character"] = (dHeapAfter - dHeapBefore) / uiCharacters;
    kState.counters["threads"] = pEngine->GetWorkers() ? pEngine->GetWorkers()->GetThreadCount() : 1;
    // The low 32 bits of the warm-up's hash, to compare runs by eye.
    kState.counters["hash_low"] = static_cast<double>(ui64Hash & 0xffffffffu);

    // Newest first: each removal is then the cheapest for the world's lists.
    for (size_t i = kInstances.size(); i-- > 0;)
        pEngine->RemoveInstance(kInstances[i]);
    CEngine::DestroyInstance();
}

}  // namespace

// Characters, threads (0: one per processor).
BENCHMARK(EngineStep)
    ->ArgsProduct({{1, 100, 1000, 10000}, {1, 0}})
    ->Args({100000, 1})
    ->Args({100000, 0})
    ->ArgNames({"characters", "threads"})
    ->Unit(benchmark::kMicrosecond);

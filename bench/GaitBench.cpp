// Gait actors of the demo character walking and turning on the whole
// runtime, 16 ms steps: nanoseconds per character step, split between the
// actors' updates and the animation manager's tick.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "AnimManager/AnimManager.h"
#include "Control/GaitActor.h"
#include "Data/GaitSerializer.h"
#include "DataDynamic/Skeleton.h"
#include "Math/SFMT/SFMT.h"
#include "Scene/Link.h"
#include "World/WorldContext.h"
#include "support/TextFile.h"

namespace {

void GaitStep(benchmark::State& kState)
{
    const uint32 uiCharacters = static_cast<uint32>(kState.range(0));
    const std::string kFolder = std::string(TARN_DATA_DIR) + "/demo/";
    TarnAnim::Skeleton kSkeleton;
    kSkeleton.Init(2, 2);
    if (kSkeleton.LoadAndStoreMocap((kFolder + "biped.animset.json").c_str()) != 0)
    {
        kState.SkipWithError("demo AnimSet missing");
        return;
    }
    const std::string kGait = TestSupport::ReadTextFile(kFolder + "biped.gait.json");
    GaitPlugin::ParamGait kParam;
    GaitPlugin::GaitRuntimeData kData;
    if (!GaitPlugin::GaitSerializer::LoadFromText(kGait.data(), kGait.size(), kParam))
    {
        kState.SkipWithError("demo gait document missing");
        kSkeleton.Release();
        return;
    }
    GaitPlugin::GaitSerializer::Serialize(&kParam, *kSkeleton.GetMocap(0), kData);
    Math::SeedRandom(1);

    TarnRenderer::CAnimManager kManager;
    const uint32 uiStorage = kManager.AddSession();
    TarnEngine::WorldContext kWorld;
    kWorld.pAnimManager = &kManager;
    std::vector<TarnRenderer::Link> kLinks(uiCharacters);
    std::vector<std::unique_ptr<GaitPlugin::GaitActor>> kActors;
    std::vector<TarnRenderer::AnimActor*> kAnimActors;
    for (uint32 i = 0; i < uiCharacters; ++i)
    {
        kSkeleton.CreateAnimatedSkeleton();
        kLinks[i].SetWorldPosition({static_cast<float>(i % 100) * 2.0f, static_cast<float>(i / 100) * 2.0f, 0.0f});
        kAnimActors.push_back(kManager.CreateActor(uiStorage, &kSkeleton, i, &kLinks[i]));
        kActors.push_back(std::make_unique<GaitPlugin::GaitActor>());
        kActors.back()->Init(&kData, &kWorld, &kLinks[i], kAnimActors.back(), true, true);
        kActors.back()->SetRotationCallback(&GaitPlugin::GaitActor::ApplyRotationToLink, nullptr);
        kActors.back()->SetStandby(false);
    }

    // A fixed script per character: walk, turn toward a new heading, stop.
    double dUpdateNs = 0.0;
    double dTickNs = 0.0;
    uint32 uiStep = 0;
    for (auto _ : kState)
    {
        const uint32 uiPhase = (uiStep / 120) % 4;  // about two seconds each
        const float fSpeed = uiPhase == 3 ? 0.0f : 1.0f;
        const auto kStart = std::chrono::steady_clock::now();
        for (uint32 i = 0; i < uiCharacters; ++i)
        {
            const float fHeading = 1.2f * static_cast<float>(uiPhase) + 0.1f * static_cast<float>(i % 7);
            kActors[i]->Update(Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, fHeading), fSpeed, 16.0f);
        }
        const auto kMiddle = std::chrono::steady_clock::now();
        kManager.Tick(uiStorage, 16.0f);
        const auto kEnd = std::chrono::steady_clock::now();
        dUpdateNs += std::chrono::duration<double, std::nano>(kMiddle - kStart).count();
        dTickNs += std::chrono::duration<double, std::nano>(kEnd - kMiddle).count();
        ++uiStep;
    }
    const double dSteps = static_cast<double>(kState.iterations()) * uiCharacters;
    kState.counters["ns_per_character_step"] = (dUpdateNs + dTickNs) / dSteps;
    kState.counters["ns_actor_update"] = dUpdateNs / dSteps;
    kState.counters["ns_anim_tick"] = dTickNs / dSteps;

    kActors.clear();
    for (TarnRenderer::AnimActor* pActor : kAnimActors)
        kManager.DestroyActor(pActor);
    kSkeleton.Release();
}

}  // namespace

BENCHMARK(GaitStep)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The animation manager's tick: N instances of one skeleton, 13 controls
// each (two of them fading, one carrying root motion), 16 ms ticks of 30
// frames-per-second sequences. Reported per instance tick and per control
// step.
#include <vector>

#include <benchmark/benchmark.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/Skeleton.h"
#include "Process/FrameProcessor.h"
#include "Scene/Link.h"
#include "System/MemoryManager/MemoryManager.h"
#include "support/AnimTestData.h"

namespace {

constexpr uint32 kControlsPerInstance = 13;

void ManagerTick(benchmark::State& kState)
{
    const uint32 uiInstances = static_cast<uint32>(kState.range(0));
    TarnAnim::Skeleton kSkeleton;
    kSkeleton.Init(2, 2);
    kSkeleton.AddMocap(TestSupport::MakeMocap(
        "Bench", {{.pName = "Walk", .uiFrames = 31, .bLoop = true, .fForwardPerFrame = 1.4f / 30.0f},
                  {.pName = "Layer", .uiFrames = 61, .bLoop = true, .uiBlendMode = 1}}));
    TarnRenderer::CAnimManager kManager;
    const uint32 uiStorage = kManager.AddSession();
    std::vector<TarnRenderer::Link> kLinks(uiInstances);
    for (uint32 i = 0; i < uiInstances; ++i)
    {
        kSkeleton.CreateAnimatedSkeleton();
        TarnRenderer::AnimActor* pActor = kManager.CreateActor(uiStorage, &kSkeleton, i, &kLinks[i]);
        kManager.SetAccumulation(pActor, true);
        // One walk carries root motion; twelve layered controls, two of
        // them fading back and forth.
        TarnAnim::AnimHelper::PlayAnim(&kSkeleton, i, 0, 0, 0.0f);
        for (uint32 c = 1; c < kControlsPerInstance; ++c)
        {
            TarnAnim::AnimationControl* pControl = kSkeleton.CreateAnimatedControl(i, 0, 1);
            pControl->SetWeight(0.1f);
            pControl->FadeIn(c <= 2 ? 400.0f : 0.0f);
            pControl->SetSpeed(0.5f + 0.05f * static_cast<float>(c));
        }
    }
    // Passes are counted per instance: each steps all of its controls.
    uint64 ui64Steps = 0;
    kSkeleton.GetFrameProcessor()->SetEndOfPassCallback(
        [](TarnAnim::Skeleton*, uint32, void* pUser) { ++*static_cast<uint64*>(pUser); }, &ui64Steps);
    uint32 uiTick = 0;
    for (auto _ : kState)
    {
        kManager.Tick(uiStorage, 16.0f);
        // Reverse the two fading controls of every instance now and then.
        if (++uiTick % 25 == 0)
        {
            for (uint32 i = 0; i < uiInstances; ++i)
            {
                const auto& kIds = kSkeleton.GetAnimatedSkeleton(i)->GetControlIds();
                for (uint32 c = 1; c <= 2; ++c)
                {
                    TarnAnim::AnimationControl* pControl = kSkeleton.GetControl(kIds[c]);
                    if ((uiTick / 25) % 2)
                        pControl->FadeOut(400.0f);
                    else
                        pControl->FadeIn(400.0f);
                }
            }
        }
    }
    kState.counters["ns_per_instance_tick"] =
        benchmark::Counter(static_cast<double>(kState.iterations()) * uiInstances,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    kState.counters["ns_per_control_step"] =
        benchmark::Counter(static_cast<double>(ui64Steps) * kControlsPerInstance,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    kState.counters["steps_per_tick"] =
        static_cast<double>(ui64Steps) /
        (static_cast<double>(kState.iterations() ? kState.iterations() : 1) * static_cast<double>(uiInstances));
    kSkeleton.Release();
}

}  // namespace

BENCHMARK(ManagerTick)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

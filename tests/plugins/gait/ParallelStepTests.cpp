#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "Engine/Engine.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "support/Crowd.h"
#include "support/ReportCapture.h"

using GaitPlugin::GaitComponentBuilder;
using TarnEngine::CEngine;

namespace {

// Enough for the engine to share the work between threads.
constexpr uint32 kCharacters = 600;
constexpr uint32 kCheckpoints = 4;
constexpr uint32 kStepsPerCheckpoint = 100;

// The crowd's fingerprint after each checkpoint's steps, on an engine that
// steps on uiThreads threads, with every character's random stream seeded
// alike. Empty when the engine or the crowd could not be made.
std::vector<uint64_t> RunCrowd(uint32 uiThreads, uint32 uiStepMs, uint32& uiMoved)
{
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = TARN_DATA_DIR;
    kStartup.uiThreads = uiThreads;
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&GaitComponentBuilder::InitBuilderOnly,
                                       &GaitComponentBuilder::ReleaseBuilderOnly);
    };
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    TarnEngine::PrefabContainer* pPrefab = pEngine ? pEngine->LoadPrefab("demo/biped.prefab.json") : nullptr;
    std::vector<uint64_t> kHashes;
    if (pPrefab)
    {
        Math::SeedRandom(11);
        TestSupport::SCrowd kCrowd = TestSupport::PlaceCrowd(*pEngine, pPrefab, kCharacters);
        std::vector<Math::LocalVector3> kPlaces;
        for (const TarnEngine::PrefabInstance* pInstance : kCrowd.kInstances)
            kPlaces.push_back(pInstance->GetLink()->GetWorldPosition());
        uint32 uiStep = 0;
        for (uint32 uiCheckpoint = 0; kCrowd.kComponents.size() == kCharacters && uiCheckpoint < kCheckpoints;
             ++uiCheckpoint)
        {
            for (uint32 i = 0; i < kStepsPerCheckpoint; ++i)
            {
                TestSupport::ApplyCrowdScript(kCrowd, uiStep++);
                pEngine->Step(uiStepMs);
            }
            kHashes.push_back(TestSupport::HashCrowd(kCrowd));
        }
        uiMoved = 0;
        for (size_t i = 0; i < kCrowd.kInstances.size(); ++i)
        {
            const Math::LocalVector3 kNow = kCrowd.kInstances[i]->GetLink()->GetWorldPosition();
            if (kNow.x != kPlaces[i].x || kNow.y != kPlaces[i].y)
                ++uiMoved;
        }
    }
    CEngine::DestroyInstance();
    return kHashes;
}

TEST(ParallelStepTest, ACrowdMovesTheSameBitForBitOnOneTwoAndEightThreads)
{
    TestSupport::CAssertCapture kReports;
    for (uint32 uiStepMs : {16u, 33u})
    {
        SCOPED_TRACE(testing::Message() << uiStepMs << " ms steps");
        uint32 uiMoved = 0;
        const std::vector<uint64_t> kOne = RunCrowd(1, uiStepMs, uiMoved);
        ASSERT_EQ(kOne.size(), kCheckpoints);
        EXPECT_EQ(uiMoved, kCharacters);
        // The crowd does not stand still between checkpoints.
        for (uint32 i = 1; i < kCheckpoints; ++i)
            EXPECT_NE(kOne[i], kOne[i - 1]);
        for (uint32 uiThreads : {2u, 8u})
        {
            SCOPED_TRACE(testing::Message() << uiThreads << " threads");
            EXPECT_EQ(RunCrowd(uiThreads, uiStepMs, uiMoved), kOne);
            EXPECT_EQ(uiMoved, kCharacters);
        }
    }
    EXPECT_EQ(kReports.Count(), 0u) << kReports.Texts().front();
}

}  // namespace

// The Gait builder registered with the engine's plugin manager, the demo
// prefab loaded and instanced by the engine, and engine steps that move the
// character: the whole path a host takes.
#include <string>

#include <gtest/gtest.h>

#include "Engine/Engine.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "Plugins/PluginParam.h"
#include "System/MemoryManager/MemoryManager.h"
#include "World/PrefabInstance.h"
#include "support/ReportCapture.h"

using GaitPlugin::GaitComponent;
using GaitPlugin::GaitComponentBuilder;
using TarnEngine::CEngine;

namespace {

GaitComponentBuilder* s_pBuilder = nullptr;

bool InitGait(TarnEngine::PluginParam* pParam)
{
    s_pBuilder = TARN_NEW_TAGGED("GaitPlugin::GaitComponentBuilder::InitPluginStatic", GaitComponentBuilder);
    pParam->m_pPluginManager->RegisterComponentBuilder(s_pBuilder);
    return true;
}

bool ReleaseGait(TarnEngine::IPluginManager* pManager)
{
    pManager->UnregisterComponentBuilder(s_pBuilder->GetDesc()->m_uiComponentId);
    TARN_DELETE(s_pBuilder);
    s_pBuilder = nullptr;
    return true;
}

}  // namespace

TEST(GaitOnEngine, ADemoPrefabInstanceWalksWhenActivated)
{
    static const std::string s_kDataDir = TARN_DATA_DIR;
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = s_kDataDir.c_str();
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&InitGait, &ReleaseGait);
    };
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    ASSERT_NE(s_pBuilder, nullptr);
    Math::SeedRandom(3);

    TarnEngine::PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pPrefab, nullptr);
    TarnEngine::PrefabInstance* pFirst = pEngine->InstancePrefab(pPrefab, {0.0f, 0.0f, 0.0f}, Math::Quaternion::Identity());
    TarnEngine::PrefabInstance* pSecond = pEngine->InstancePrefab(pPrefab, {0.0f, 3.0f, 0.0f}, Math::Quaternion::Identity());
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(s_pBuilder->links.GetSize(), 2u);

    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(pFirst->GetLink());
    ASSERT_NE(pComponent, nullptr);
    EXPECT_FALSE(pComponent->IsActive());
    pComponent->Activate(true);
    pComponent->SetSpeed(1.0f);
    for (int i = 0; i < 200; ++i)
        pEngine->Step(16);

    // The active character walked; the other one, never activated, stood.
    EXPECT_GT(pFirst->GetLink()->GetWorldPosition().x, 2.0f);
    EXPECT_EQ(pSecond->GetLink()->GetWorldPosition().x, 0.0f);
    EXPECT_EQ(pComponent->GetActor().GetCurrentMovement(), uint32(GaitPlugin::EAnimMovement::Walk));

    // Removing a walking instance and shutting down report nothing.
    TestSupport::CAssertCapture kReports;
    EXPECT_TRUE(pEngine->RemoveInstance(pFirst));
    EXPECT_EQ(s_pBuilder->links.GetSize(), 1u);
    pEngine->Step(16);
    CEngine::DestroyInstance();
    EXPECT_EQ(s_pBuilder, nullptr);
    EXPECT_EQ(kReports.Count(), 0u);
}

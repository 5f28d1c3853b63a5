// The Gait component and its builder on a prefab instance of the demo
// character: the real animation runtime, link user data and plugin types.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TextFile.h"
#include "AnimManager/AnimManager.h"
#include "DataDynamic/Skeleton.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Scene/UserData.h"
#include "World/PrefabInstance.h"
#include "World/WorldContext.h"
#include "Utils/idfromstring.h"
#include "support/ReportCapture.h"

using GaitPlugin::GaitComponent;
using GaitPlugin::GaitComponentBuilder;

namespace {

class GaitComponentTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Math::SeedRandom(11);
        const std::string kFolder = std::string(TARN_DATA_DIR) + "/demo/";
        m_kSkeleton.Init(2, 2);
        ASSERT_EQ(m_kSkeleton.LoadAndStoreMocap((kFolder + "biped.animset.json").c_str()), 0);
        m_kGaitText = TestSupport::ReadTextFile(kFolder + "biped.gait.json");
        ASSERT_FALSE(m_kGaitText.empty());

        m_kWorld.uiWorldIndex = m_kManager.AddSession();
        m_kWorld.pAnimManager = &m_kManager;
        m_kWorld.pUserDataPool = &m_kPool;
        m_pInstance = std::make_unique<TarnEngine::PrefabInstance>(nullptr, &m_kWorld);
        ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(0), nullptr);
        m_pInstance->SetSkeletonInstance(0);
        m_pInstance->SetAnimActor(m_kManager.CreateActor(m_kWorld.uiWorldIndex, &m_kSkeleton, 0, Link()));

        TarnEngine::PluginJsonDocument kDocument;
        ASSERT_FALSE(kDocument.Parse(m_kGaitText.c_str()).HasParseError());
        ASSERT_TRUE(m_kBuilder.BuildComponentData(kDocument, nullptr, nullptr, m_kData));
        ASSERT_EQ(m_kData.GetSize(), 1u);
    }
    void TearDown() override
    {
        // What the engine does when it removes an instance: the builder lets
        // go, the components in the link's user data are destroyed while the
        // animated character still exists, then the records go back.
        m_kBuilder.DestroyComponent(Link());
        if (GaitComponent* pComponent = GaitComponentBuilder::GetComponent(Link()))
            static_cast<TarnEngine::PluginComponent*>(pComponent)->~PluginComponent();
        Link()->ReleaseUserData(m_kPool);
        m_kManager.DestroyActor(m_pInstance->GetAnimActor());
        m_pInstance.reset();
        m_kSkeleton.Release();
        for (TarnEngine::IPluginComponentData* pData : m_kData)
            TARN_DELETE(pData);
    }

    TarnRenderer::Link* Link() { return m_pInstance->GetLink(); }
    GaitComponent* Build()
    {
        return static_cast<GaitComponent*>(m_kBuilder.BuildComponent(m_pInstance.get(), Link(), m_kData[0]));
    }
    void Step(int iSteps)
    {
        for (int i = 0; i < iSteps; ++i)
        {
            m_kBuilder.UpdateComponents(nullptr, TarnEngine::StepTime{16});
            m_kManager.Tick(m_kWorld.uiWorldIndex, 16.0f);
        }
    }

    TarnAnim::Skeleton m_kSkeleton;
    TarnRenderer::CAnimManager m_kManager;
    TarnRenderer::UserDataPool m_kPool;
    TarnEngine::WorldContext m_kWorld;
    std::unique_ptr<TarnEngine::PrefabInstance> m_pInstance;
    GaitComponentBuilder m_kBuilder;
    TarnRenderer::TArray<TarnEngine::IPluginComponentData*, unsigned int> m_kData;
    std::string m_kGaitText;
};

}  // namespace

TEST_F(GaitComponentTest, TheDescriptorIsStaticAndNamesTheGaitType)
{
    TarnEngine::CustomComponentDesc* pDesc = m_kBuilder.GetDesc();
    EXPECT_EQ(pDesc, GaitComponentBuilder().GetDesc());
    EXPECT_STREQ(pDesc->m_acName, "Gait");
    EXPECT_STREQ(pDesc->m_acContainerType, "PrefabContainer");
    EXPECT_STREQ(pDesc->m_acDisplayName, "Gait Plugin");
    EXPECT_EQ(pDesc->m_uiComponentId, GenerateUIntIdFromString("Gait"));
    EXPECT_EQ(m_kData[0]->GetTypeID(), pDesc->m_uiComponentId);
}

TEST_F(GaitComponentTest, BuildingALinkTwiceListsItOnceAndKeepsItsComponent)
{
    m_kBuilder.UpdateComponents(nullptr, TarnEngine::StepTime{16});  // no links: nothing
    GaitComponent* pFirst = Build();
    ASSERT_NE(pFirst, nullptr);
    EXPECT_FALSE(pFirst->IsActive());
    pFirst->SetRotation(Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, 0.5f));
    pFirst->SetSpeed(1.25f);
    GaitComponent* pSecond = Build();
    EXPECT_EQ(pSecond, pFirst);
    EXPECT_EQ(m_kBuilder.links.GetSize(), 1u);
    EXPECT_EQ(pSecond->GetSpeed(), 1.25f);
    EXPECT_EQ(TarnRenderer::GetUserDataCount(TarnRenderer::GetUserData<GaitComponent>(Link(), GaitComponentBuilder::kUserDataTag)),
              1u);

    TarnRenderer::Link kStranger;
    m_kBuilder.DestroyComponent(&kStranger);  // never built: nothing
    EXPECT_EQ(m_kBuilder.links.GetSize(), 1u);
}

TEST_F(GaitComponentTest, ActivationRunsTheCharacterAndRequestsWaitForIt)
{
    GaitComponent* pComponent = Build();
    // Stored in standby, seen at the first update after activation.
    pComponent->SetSpeed(1.0f);
    Step(20);
    EXPECT_EQ(Link()->GetWorldPosition().x, 0.0f);
    pComponent->Activate(true);
    EXPECT_TRUE(pComponent->IsActive());
    Step(150);
    EXPECT_GT(Link()->GetWorldPosition().x, 0.5f);
    EXPECT_EQ(pComponent->GetActor().GetCurrentMovement(), uint32(GaitPlugin::EAnimMovement::Walk));

    // Reset stops and starts again: standing, from Idle.
    pComponent->Reset();
    EXPECT_TRUE(pComponent->IsActive());
    EXPECT_EQ(pComponent->GetActor().GetCurrentMovement(), uint32(GaitPlugin::EAnimMovement::Idle));

    pComponent->Activate(false);
    EXPECT_FALSE(pComponent->IsActive());

    // Once the builder forgets the link, its component stands by and is no
    // longer updated.
    pComponent->Activate(true);
    m_kBuilder.DestroyComponent(Link());
    EXPECT_FALSE(pComponent->IsActive());
    EXPECT_TRUE(m_kBuilder.links.IsEmpty());
}

TEST_F(GaitComponentTest, ReloadingFromJsonChecksTheTextAndLeavesTheActorInStandby)
{
    GaitComponent* pComponent = Build();
    pComponent->Activate(true);
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(pComponent->ReloadFromJson("{"));
        EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Could not parse JSON file"));
        EXPECT_TRUE(pComponent->IsActive());
    }
    EXPECT_TRUE(pComponent->ReloadFromJson(m_kGaitText.c_str()));
    EXPECT_FALSE(pComponent->IsActive());
    EXPECT_TRUE(GaitPlugin::IsDataValid(&pComponent->GetRuntimeData()));

    // A document the loader rejects changes nothing and answers false.
    pComponent->Activate(true);
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(pComponent->ReloadFromJson("{\"Binds\": 3}"));
    EXPECT_TRUE(pComponent->IsActive());
}

TEST_F(GaitComponentTest, AComponentWithoutDataOrCharacterStaysUnbound)
{
    GaitComponent kComponent;
    {
        TestSupport::CAssertCapture kReports;
        kComponent.Init(Link(), m_pInstance.get());
        EXPECT_FALSE(kComponent.ReloadFromJson(m_kGaitText.c_str()));
        EXPECT_EQ(kReports.Texts(),
                  (std::vector<std::string>{"Assertion \"m_pData\" failed. Can't init component if data is not loaded once",
                                            "Assertion \"m_pData\" failed. Can't reload component if data is not loaded once"}));
    }
    // Data but a link without an animated character: unbound, silently.
    TarnRenderer::Link kBare;
    kComponent.SetData(m_kData[0]);
    TestSupport::CAssertCapture kReports;
    kComponent.Init(&kBare, m_pInstance.get());
    EXPECT_EQ(kReports.Count(), 0u);
    EXPECT_FALSE(kComponent.IsActive());
    kComponent.Activate(true);
    EXPECT_FALSE(kComponent.IsActive());
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Gait data is not valid"));
}

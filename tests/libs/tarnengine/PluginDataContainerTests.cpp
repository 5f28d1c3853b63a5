#include <tuple>

#include <gtest/gtest.h>

#include "Factory/PluginDataContainer.h"
#include "Scene/Link.h"
#include "Utils/idfromstring.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"
#include "support/ReportCapture.h"

using TarnEngine::IPluginComponentData;
using TarnEngine::PluginJsonValue;
using TestModules::CValueData;

// Containers of the tests; builders know them by their short names.
namespace ContainerTest {
struct PrefabContainer : TarnEngine::PluginDataContainerImpl<PrefabContainer>
{
    using PluginDataContainerImpl::PluginDataContainerImpl;
};
struct WorldContainer : TarnEngine::PluginDataContainerImpl<WorldContainer>
{
    using PluginDataContainerImpl::PluginDataContainerImpl;
};
struct C : TarnEngine::PluginDataContainerImpl<C>
{
};
}  // namespace ContainerTest

namespace {

// Passes a builder's refusal (an add-in that gave no data) on, as the interface allows and the engine's
// manager does not: the container's loading must stop.
class CRefusalForwardingManager : public TarnEngine::BasePluginManager
{
public:
    bool BuildComponentData(const char* pContainerType, const PluginJsonValue& kAddIn, void* _pContextA,
                            void* _pContextB, TarnRenderer::TArray<IPluginComponentData*>& kOut) override
    {
        const uint32 uiBefore = kOut.GetSize();
        return BasePluginManager::BuildComponentData(pContainerType, kAddIn, _pContextA, _pContextB, kOut) &&
               kOut.GetSize() > uiBefore;
    }
};

class PluginDataContainerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_kManager.RegisterComponentBuilder(&m_kBuilder);
        m_kForwarding.RegisterComponentBuilder(&m_kBuilder);
    }
    TestModules::CRecordingBuilder m_kBuilder{"Note", "PrefabContainer", true};
    TarnEngine::BasePluginManager m_kManager;
    CRefusalForwardingManager m_kForwarding;
};

}  // namespace

TEST_F(PluginDataContainerTest, AddInsGiveDataInFileOrderAndARefusalSkipsTheRest)
{
    const auto Note = [](const char* pJson) { return std::string(R"({"Type":"Note","Json":")") + pJson + "\"}"; };
    const auto AddIns = [](const std::string& kList) { return R"({"AddInObjects":[)" + kList + "]}"; };
    const std::string kOne = Note(R"({\"Value\":1})");
    const std::string kRefused = Note(R"({\"Refuse\":1})");
    // The container (p: prefab, w: world, r: prefab through a manager that passes refusals on), its JSON, the
    // load's result, the data's values, the values offered to the builder, the reports.
    using Ints = std::vector<int>;
    const std::tuple<char, std::string, bool, Ints, Ints, size_t> akCases[] = {
        {'p', R"({"Name":"Box"})", true, {}, {}, 0},
        {'p', AddIns(""), true, {}, {}, 0},
        {'p', AddIns(kOne + "," + Note(R"({\"Value\":2})")), true, {1, 2}, {1, 2}, 0},
        {'p', AddIns(Note("{") + "," + kOne), true, {1}, {1}, 1},  // the manager reports text it cannot parse
        {'p', R"({"AddInObjects":{}})", false, {}, {}, 1},
        {'p', "[1]", false, {}, {}, 1},
        {'w', AddIns(kOne), true, {}, {}, 0},
        {'r', AddIns(kOne + "," + kRefused + "," + kOne), false, {1}, {1, -1}, 0},
        {'r', AddIns(kRefused + "," + kOne), false, {}, {-1}, 0},
    };
    for (const auto& [cContainer, kText, bResult, kValues, kOffered, uiReports] : akCases)
    {
        SCOPED_TRACE(kText);
        m_kBuilder.m_kDocuments.clear();
        TarnEngine::IPluginManager* pManager = cContainer == 'r' ? &m_kForwarding : &m_kManager;
        ContainerTest::PrefabContainer kPrefab(pManager);
        ContainerTest::WorldContainer kWorld(pManager);
        TestModules::SJson kJson(kText.c_str());
        TestSupport::CAssertCapture kCapture;
        const bool bWorld = cContainer == 'w';
        EXPECT_EQ(bWorld ? kWorld.LoadAddIns(kJson.m_kDocument, nullptr, nullptr)
                         : kPrefab.LoadAddIns(kJson.m_kDocument, nullptr, nullptr),
                  bResult);
        Ints kSeen;
        for (IPluginComponentData* pData : bWorld ? kWorld.GetPluginData() : kPrefab.GetPluginData())
            kSeen.push_back(static_cast<CValueData*>(pData)->GetParam());
        EXPECT_EQ(kSeen, kValues);
        EXPECT_EQ(m_kBuilder.m_kDocuments, kOffered);
        EXPECT_EQ(kCapture.Count(), uiReports);
    }
}

TEST(PluginDataContainer, ShortNameOfOneCharacterIsReportedAndUsed)
{
    EXPECT_STREQ(ContainerTest::PrefabContainer::GetShortContainerName(), "PrefabContainer");
    TestSupport::CAssertCapture kCapture;
    EXPECT_STREQ(ContainerTest::C::GetShortContainerName(), "C");
    EXPECT_EQ(kCapture.Texts(), std::vector<std::string>{"Assertion \"iLastPointInString<(uint32)iStringLength-1\" "
                                                         "failed. PluginDataContainerImpl : Wrong type name"});
}

TEST_F(PluginDataContainerTest, ComponentsAreBuiltAndDestroyedByDataType)
{
    ContainerTest::PrefabContainer kContainer(&m_kManager);
    TestModules::SJson kJson(R"({"AddInObjects":[{"Type":"Note","Json":"{\"Value\":7}"}]})");
    ASSERT_TRUE(kContainer.LoadAddIns(kJson.m_kDocument, nullptr, nullptr));
    IPluginComponentData* pData = kContainer.GetPluginData()[0];
    TarnRenderer::Link kLink;
    int iInstance = 0;
    EXPECT_TRUE(kContainer.BuildComponent(&iInstance, &kLink, pData));
    EXPECT_EQ(m_kBuilder.m_pPrefab, &iInstance);
    EXPECT_EQ(m_kBuilder.m_pData, pData);
    EXPECT_EQ(m_kBuilder.links.Find(&kLink), 0u);
    // A reload keeps the data of built components alive.
    ASSERT_TRUE(kContainer.LoadAddIns(kJson.m_kDocument, nullptr, nullptr));
    EXPECT_NE(kContainer.GetPluginData()[0], pData);
    EXPECT_EQ(static_cast<CValueData*>(m_kBuilder.m_pData)->GetParam(), 7);
    kContainer.DestroyComponent(&iInstance, &kLink, pData);
    EXPECT_TRUE(m_kBuilder.links.IsEmpty());
    // Data of a type without a builder builds nothing; no data is reported.
    CValueData kStray;
    kStray.SetTypeID(GenerateUIntIdFromString("Unknown"));
    EXPECT_FALSE(kContainer.BuildComponent(&iInstance, &kLink, &kStray));
    TestSupport::CAssertCapture kCapture;
    EXPECT_FALSE(kContainer.BuildComponent(&iInstance, &kLink, nullptr));
    EXPECT_EQ(kCapture.Count(), 1u);
}

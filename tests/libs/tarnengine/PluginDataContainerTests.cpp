#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Factory/PluginDataContainer.h"
#include "Plugins/PluginManager.h"
#include "Scene/Link.h"
#include "Utils/JsonAllocator.h"
#include "Utils/idfromstring.h"
#include "support/ReportCapture.h"

using TarnEngine::IPluginComponentData;
using TarnEngine::PluginJsonValue;

// Containers of the tests; builders declare their short names.
namespace ContainerTest {
class PrefabContainer : public TarnEngine::PluginDataContainerImpl<PrefabContainer>
{
public:
    using PluginDataContainerImpl::PluginDataContainerImpl;
};
class WorldContainer : public TarnEngine::PluginDataContainerImpl<WorldContainer>
{
public:
    using PluginDataContainerImpl::PluginDataContainerImpl;
};
class C : public TarnEngine::PluginDataContainerImpl<C>
{
};
}  // namespace ContainerTest

namespace {

// Data of a "Note" add-in: {"Value": n}; {"Refuse": ...} is turned down.
class CNoteData : public TarnEngine::PluginData<int>
{
public:
    bool Load(const PluginJsonValue& kDocument, void*, void*) override
    {
        m_kParam = kDocument.IsObject() && kDocument.HasMember("Value") ? kDocument["Value"].GetInt() : -1;
        return true;
    }
};

class CNoteComponent : public TarnEngine::PluginComponent
{
public:
    IPluginComponentData* GetData() override { return m_pData; }
    void SetData(IPluginComponentData* _pData) override { m_pData = _pData; }

private:
    IPluginComponentData* m_pData = nullptr;
};

// Builds "Note" components for prefab containers, counting what it is offered.
class CNoteBuilder : public TarnEngine::PluginComponentBuilder
{
public:
    TarnEngine::PluginComponent* BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                                IPluginComponentData* _pData) override
    {
        m_pLastInstance = _pPrefabInstance;
        m_kComponent.SetData(_pData);
        links.Add(_pLink);
        return &m_kComponent;
    }
    bool BuildComponentData(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<IPluginComponentData*>& kOut) override
    {
        ++m_uiOffered;
        m_bLastAccepted = !(kDocument.IsObject() && kDocument.HasMember("Refuse"));
        if (!m_bLastAccepted)
            return false;
        CNoteData* pData = TARN_NEW_TAGGED("CNoteBuilder::BuildComponentData", CNoteData);
        pData->Load(kDocument, _pContextA, _pContextB);
        kOut.Add(pData->SetTypeID(m_kDesc.m_uiComponentId));
        return true;
    }
    void OnBuilderEvent(void*) override {}
    void UpdateComponents(void*, TarnEngine::StepTime) override {}
    TarnEngine::CustomComponentDesc* GetDesc() override { return &m_kDesc; }
    void DestroyComponent(TarnRenderer::Link* _pLink) override
    {
        if (const unsigned int uiIdx = links.Find(_pLink); uiIdx != links.uiMaxValue)
            links.RemoveAt(uiIdx);
    }

    TarnEngine::CustomComponentDesc m_kDesc{"Note", "PrefabContainer", "Note Plugin", ""};
    CNoteComponent m_kComponent;
    uint32 m_uiOffered = 0;
    bool m_bLastAccepted = true;
    void* m_pLastInstance = nullptr;
};

// The engine's manager answers true for every add-in it routed, whatever the
// builders said; the interface also allows passing a refusal on, which must
// stop the container's loading. This manager passes it on.
class CRefusalForwardingManager : public TarnEngine::BasePluginManager
{
public:
    explicit CRefusalForwardingManager(CNoteBuilder& kBuilder) : m_kBuilder(kBuilder) {}
    bool BuildComponentData(const char* pContainerType, const PluginJsonValue& kAddIn, void* _pContextA,
                            void* _pContextB, TarnRenderer::TArray<IPluginComponentData*>& kOut) override
    {
        m_kBuilder.m_bLastAccepted = true;
        const bool bRouted =
            BasePluginManager::BuildComponentData(pContainerType, kAddIn, _pContextA, _pContextB, kOut);
        return bRouted && m_kBuilder.m_bLastAccepted;
    }

private:
    CNoteBuilder& m_kBuilder;
};

// A container file's JSON, parsed with the engine's allocator.
class CParsedJson
{
public:
    explicit CParsedJson(const char* pText) { m_kDocument.Parse(pText); }
    const PluginJsonValue& Get() const { return m_kDocument; }

private:
    Common::CJsonAllocator m_kHeap;
    TarnEngine::PluginJsonPool m_kPool{1024, &m_kHeap};
    TarnEngine::PluginJsonDocument m_kDocument{&m_kPool, 1024, &m_kHeap};
};

template <class T>
std::vector<int> NoteValues(const TarnEngine::PluginDataContainerImpl<T>& kContainer)
{
    std::vector<int> kValues;
    for (IPluginComponentData* pData : kContainer.GetPluginData())
        kValues.push_back(static_cast<CNoteData*>(pData)->GetParam());
    return kValues;
}

struct SLoadCase
{
    const char* pLabel;
    const char* pJson;
    bool bResult;
    std::vector<int> kValues;
    uint32 uiOffered;
    uint32 uiReports;
};

// Loads each case into a fresh container of T and checks the outcome.
template <class T>
void CheckLoads(TarnEngine::IPluginManager& kManager, CNoteBuilder& kBuilder, const std::vector<SLoadCase>& kCases)
{
    for (const SLoadCase& kCase : kCases)
    {
        SCOPED_TRACE(kCase.pLabel);
        kBuilder.m_uiOffered = 0;
        T kContainer(&kManager);
        CParsedJson kJson(kCase.pJson);
        TestSupport::CAssertCapture kCapture;
        EXPECT_EQ(kContainer.LoadAddIns(kJson.Get(), nullptr, nullptr), kCase.bResult);
        EXPECT_EQ(NoteValues(kContainer), kCase.kValues);
        EXPECT_EQ(kBuilder.m_uiOffered, kCase.uiOffered);
        EXPECT_EQ(kCapture.Count(), kCase.uiReports);
    }
}

class PluginDataContainerTest : public testing::Test
{
protected:
    void SetUp() override { m_kManager.RegisterComponentBuilder(&m_kBuilder); }
    void TearDown() override { m_kManager.UnregisterComponentBuilder(m_kBuilder.m_kDesc.m_uiComponentId); }

    CNoteBuilder m_kBuilder;
    TarnEngine::BasePluginManager m_kManager;
};

}  // namespace

TEST_F(PluginDataContainerTest, AddInsGiveDataInFileOrder)
{
    CheckLoads<ContainerTest::PrefabContainer>(m_kManager, m_kBuilder, {
        {"no add-ins", R"({"Name":"Box"})", true, {}, 0, 0},
        {"empty add-ins", R"({"AddInObjects":[]})", true, {}, 0, 0},
        {"two of one type", R"({"AddInObjects":[{"Type":"Note","Json":"{\"Value\":1}"},
                                               {"Type":"Note","Json":"{\"Value\":2}"}]})", true, {1, 2}, 2, 0},
        {"other type names", R"({"AddInObjects":[{"Type":"note","Json":"{}"},
                                                {"Type":"Note","Json":"{\"Value\":5}"}]})", true, {5}, 1, 0},
        // The manager reports text it cannot parse and goes on.
        {"invalid add-in text", R"({"AddInObjects":[{"Type":"Note","Json":"{"},
                                                   {"Type":"Note","Json":"{\"Value\":2}"}]})", true, {2}, 1, 1},
        {"add-ins not an array", R"({"AddInObjects":{}})", false, {}, 0, 1},
        {"not an object", R"([1])", false, {}, 0, 1},
    });
    // Another container type reaches no builder of prefab containers.
    CheckLoads<ContainerTest::WorldContainer>(m_kManager, m_kBuilder, {
        {"world container", R"({"AddInObjects":[{"Type":"Note","Json":"{\"Value\":1}"}]})", true, {}, 0, 0},
    });
}

TEST(PluginDataContainer, RefusedAddInSkipsTheRest)
{
    CNoteBuilder kBuilder;
    CRefusalForwardingManager kManager(kBuilder);
    kManager.RegisterComponentBuilder(&kBuilder);
    CheckLoads<ContainerTest::PrefabContainer>(kManager, kBuilder, {
        {"middle refused", R"({"AddInObjects":[{"Type":"Note","Json":"{\"Value\":1}"},
                                              {"Type":"Note","Json":"{\"Refuse\":1}"},
                                              {"Type":"Note","Json":"{\"Value\":3}"}]})", false, {1}, 2, 0},
        {"first refused", R"({"AddInObjects":[{"Type":"Note","Json":"{\"Refuse\":1}"},{"Type":"Note","Json":"{}"}]})",
         false, {}, 1, 0},
    });
    kManager.UnregisterComponentBuilder(kBuilder.m_kDesc.m_uiComponentId);
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
    CParsedJson kJson(R"({"AddInObjects":[{"Type":"Note","Json":"{\"Value\":7}"}]})");
    ASSERT_TRUE(kContainer.LoadAddIns(kJson.Get(), nullptr, nullptr));
    IPluginComponentData* pData = kContainer.GetPluginData()[0];
    TarnRenderer::Link kLink;
    int iInstance = 0;
    EXPECT_TRUE(kContainer.BuildComponent(&iInstance, &kLink, pData));
    EXPECT_EQ(m_kBuilder.m_pLastInstance, &iInstance);
    EXPECT_EQ(m_kBuilder.m_kComponent.GetData(), pData);
    EXPECT_EQ(m_kBuilder.links.Find(&kLink), 0u);

    // A reload keeps the data of built components alive.
    ASSERT_TRUE(kContainer.LoadAddIns(kJson.Get(), nullptr, nullptr));
    EXPECT_NE(kContainer.GetPluginData()[0], pData);
    EXPECT_EQ(static_cast<CNoteData*>(m_kBuilder.m_kComponent.GetData())->GetParam(), 7);
    kContainer.DestroyComponent(&iInstance, &kLink, pData);
    EXPECT_TRUE(m_kBuilder.links.IsEmpty());

    // Data of a type without a builder builds nothing; no data is reported.
    CNoteData kStray;
    kStray.SetTypeID(GenerateUIntIdFromString("Unknown"));
    EXPECT_FALSE(kContainer.BuildComponent(&iInstance, &kLink, &kStray));
    TestSupport::CAssertCapture kCapture;
    EXPECT_FALSE(kContainer.BuildComponent(&iInstance, &kLink, nullptr));
    EXPECT_EQ(kCapture.Count(), 1u);
    m_kBuilder.links.Clear();
}

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Scene/Link.h"
#include "Scene/UserDataHelper.h"
#include "System/MemoryManager/MemoryManager.h"
#include "support/ReportCapture.h"

using TarnRenderer::Link;
using TarnRenderer::UserData;
using TarnRenderer::UserDataHeader;
using TarnRenderer::UserDataPool;

namespace {

constexpr uint32 kGait = TarnRenderer::MakeTag("GAIT"), kSound = TarnRenderer::MakeTag("SNDS");

// A component as plug-ins store them: polymorphic, pointing outside, relocatable by a byte copy.
struct CTestComponent
{
    CTestComponent(uint32 uiValue, Link* pLink) : m_uiValue(uiValue), m_pLink(pLink) {}
    virtual ~CTestComponent() = default;
    uint32 m_uiValue;
    Link* m_pLink;
};

std::vector<uint8> BytesOf(const void* pData)
{
    const auto* pBytes = static_cast<const uint8*>(pData);
    return {pBytes, pBytes + sizeof(CTestComponent)};
}

CTestComponent* Element(UserDataHeader* pHeader, uint32 uiIndex)
{
    return TarnRenderer::GetUserDataElement<CTestComponent>(pHeader, uiIndex);
}

// A record claiming uiSize bytes whose block holds four at least: only the size keeps a short one from matching.
UserData* MakeRawRecord(UserDataPool& kPool, const char* pBytes, uint32 uiSize)
{
    UserData* pRecord = kPool.Acquire();
    pRecord->m_pData = std::memcpy(TARN_ALLOC(std::max(uiSize, 4u)), pBytes, std::max(uiSize, 4u));
    pRecord->m_uiSize = uiSize;
    return pRecord;
}

struct UserDataTest : testing::Test
{
    void TearDown() override
    {
        m_kLink.ReleaseUserData(m_kPool);
        EXPECT_EQ(m_kPool.GetUsedCount(), 0u);
    }
    UserDataPool m_kPool;
    Link m_kLink;
};

}  // namespace

TEST_F(UserDataTest, SecondElementGrowsTheOneRecordAndKeepsTheFirst)
{
    const CTestComponent kFirst(1, &m_kLink);
    ASSERT_NE(TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, kFirst), nullptr);
    UserData* pRecord = m_kLink.GetFirstUserData();
    const CTestComponent kSecond(2, nullptr);
    UserDataHeader* pGrown = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, kSecond);
    ASSERT_NE(pGrown, nullptr);
    EXPECT_EQ(std::make_tuple(m_kLink.GetFirstUserData(), pRecord->m_pNext, pRecord->m_pData, pRecord->m_uiSize),
              std::make_tuple(pRecord, (UserData*)nullptr, (void*)pGrown, uint32(8 + 2 * sizeof(CTestComponent))));
    EXPECT_EQ(TarnRenderer::GetUserDataCount(pGrown), 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pGrown) % 16, 0u);
    EXPECT_EQ(BytesOf(Element(pGrown, 0)), BytesOf(&kFirst));
    EXPECT_EQ(BytesOf(Element(pGrown, 1)), BytesOf(&kSecond));
    EXPECT_EQ(TarnRenderer::GetUserData<CTestComponent>(&m_kLink, kGait), pGrown);
    // An element of the record itself survives the growth it causes.
    pGrown = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, *Element(pGrown, 0));
    EXPECT_EQ(BytesOf(Element(pGrown, 2)), BytesOf(&kFirst));
    EXPECT_EQ(m_kPool.GetUsedCount(), 1u);
}

TEST_F(UserDataTest, PayloadShorterThanFourBytesNeverMatches)
{
    const std::tuple<const char*, uint32, bool> akCases[] = {
        {"GAIT", 0, false}, {"GAIT", 1, false},    {"GAIT", 2, false}, {"GAIT", 3, false},
        {"GAIT", 4, true},  {"GAITxxxx", 8, true}, {"GAIX", 4, false}, {"gait", 4, false},
    };
    for (const auto& [pBytes, uiSize, bMatches] : akCases)
    {
        SCOPED_TRACE(std::string(pBytes) + " / " + std::to_string(uiSize));
        ASSERT_TRUE(m_kLink.AttachUserData(MakeRawRecord(m_kPool, pBytes, uiSize)));
        EXPECT_EQ(TarnRenderer::GetUserData<CTestComponent>(&m_kLink, kGait) != nullptr, bMatches);
        m_kLink.ReleaseUserData(m_kPool);
    }
    // A short head is passed over for a later match, which adding then grows.
    UserDataHeader* pHeader = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, CTestComponent(4, nullptr));
    ASSERT_TRUE(m_kLink.AttachUserData(MakeRawRecord(m_kPool, "GAIT", 3)));
    EXPECT_EQ(TarnRenderer::GetUserData<CTestComponent>(&m_kLink, kGait), pHeader);
    pHeader = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, CTestComponent(5, nullptr));
    EXPECT_EQ(m_kLink.GetFirstUserData()->m_pNext->m_pData, pHeader);
}

TEST_F(UserDataTest, RefusedAttachmentsAreReportedAndNotPerformed)
{
    // Records already on the link; whether the tail (or the head) is attached again; the report.
    const std::tuple<uint32, bool, const char*> akCases[] = {
        {1, false, "Assertion \"_pNewData != m_pUserData\" failed. UserData already added"},
        // The head of a longer list has a successor; the tail has none, but is listed.
        {2, false, "Assertion \"!_pNewData->m_pNext\" failed. New UserData should have null next"},
        {2, true, "Assertion \"!bListed\" failed. UserData already added"},
    };
    for (const auto& [uiListed, bTail, pReport] : akCases)
    {
        SCOPED_TRACE(pReport);
        std::vector<UserData*> kListed;  // newest first, as the link chains them
        for (uint32 i = 0; i < uiListed; ++i)
        {
            kListed.insert(kListed.begin(), MakeRawRecord(m_kPool, "LIST", 4));
            ASSERT_TRUE(m_kLink.AttachUserData(kListed.front()));
        }
        TestSupport::CAssertCapture kCapture;
        EXPECT_FALSE(m_kLink.AttachUserData(bTail ? kListed.back() : kListed.front()));
        EXPECT_EQ(kCapture.Texts(), std::vector<std::string>{pReport});
        std::vector<UserData*> kNow;
        for (UserData* pRecord = m_kLink.GetFirstUserData(); pRecord && kNow.size() < 8; pRecord = pRecord->m_pNext)
            kNow.push_back(pRecord);
        EXPECT_EQ(kNow, kListed);
        m_kLink.ReleaseUserData(m_kPool);
    }
}

// Records come back clean, are reused and come from a new block past a full one; a foreign record and a second
// release are refused. A scene's work, and a pool going before a link holding its records, leave no block behind.
TEST(UserDataPool, RecordsAreReusedAndNoBlockStaysBehind)
{
    const auto LiveBlocks = [] { return Common::Mem::CMemoryManager::GetInstance()->GetNumAllocations(); };
    TestSupport::CAssertCapture kCapture;
    {
        UserDataPool kPool;
        UserData* pRecord = kPool.Acquire();
        const uint32 uiBlocks = LiveBlocks();
        pRecord->m_pData = TARN_ALLOC(64);
        pRecord->m_uiSize = 64;
        kPool.Release(pRecord);
        EXPECT_EQ(LiveBlocks(), uiBlocks);  // the payload went with the release
        EXPECT_EQ(kPool.Acquire(), pRecord);
        EXPECT_TRUE(pRecord->m_pData == nullptr && pRecord->m_uiSize == 0u);
        UserDataPool kOtherPool;
        kOtherPool.Release(pRecord);
        kPool.Release(pRecord);
        kPool.Release(pRecord);
        EXPECT_EQ(kCapture.Count(), 2u);
        EXPECT_EQ(kPool.GetUsedCount(), 0u);
        std::vector<UserData*> kRecords;
        for (uint32 i = 0; i <= UserDataPool::kRecordsPerBlock; ++i)
            kRecords.push_back(kPool.Acquire());
        EXPECT_NE(kRecords[0], kRecords[1]);  // listed free once only
        EXPECT_EQ(kPool.GetRecordCount(), 2 * UserDataPool::kRecordsPerBlock);
        for (UserData* pUsed : kRecords)
            kPool.Release(pUsed);
    }
    // A scene's work, twice: the first registers the tag paths, which stay for the process.
    const auto Scene = [] {
        UserDataPool kPool;
        std::vector<Link> kLinks(40);
        for (Link& kLink : kLinks)
        {
            for (uint32 i = 0; i < 3; ++i)
                ASSERT_NE(TarnRenderer::AddUserData(kPool, &kLink, kGait, CTestComponent(i, &kLink)), nullptr);
            ASSERT_NE(TarnRenderer::AddUserData(kPool, &kLink, kSound, uint32(1)), nullptr);
        }
        EXPECT_EQ(kPool.GetUsedCount(), 80u);
        EXPECT_TRUE(TarnRenderer::RemoveUserData(kPool, &kLinks[0], kGait));
        EXPECT_FALSE(TarnRenderer::RemoveUserData(kPool, &kLinks[0], kGait));
        EXPECT_NE(TarnRenderer::GetUserData<uint32>(&kLinks[0], kSound), nullptr);
        // Moving a link moves its records.
        Link kMoved(std::move(kLinks[1]));
        EXPECT_EQ(kLinks[1].GetFirstUserData(), nullptr);
        kMoved.ReleaseUserData(kPool);
        for (Link& kLink : kLinks)
            kLink.ReleaseUserData(kPool);
        EXPECT_EQ(kPool.GetUsedCount(), 0u);
    };
    Scene();
    const uint32 uiBefore = LiveBlocks();
    Scene();
    // A pool going before a link that holds its records: reported, the records reclaimed.
    Link kLink;
    {
        UserDataPool kPool;
        TarnRenderer::AddUserData(kPool, &kLink, kGait, CTestComponent(1, nullptr));
        TarnRenderer::AddUserData(kPool, &kLink, kSound, uint32(1));
    }
    EXPECT_EQ(kCapture.Count(), 3u);
    EXPECT_EQ(LiveBlocks(), uiBefore);
}

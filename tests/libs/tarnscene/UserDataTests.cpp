#include <cstdint>
#include <cstring>
#include <string>
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

constexpr uint32 kGait = TarnRenderer::MakeTag("GAIT");
constexpr uint32 kSound = TarnRenderer::MakeTag("SNDS");

// A component as plug-ins store them: polymorphic, with a pointer to the
// outside, relocatable by a byte copy.
struct CTestComponent
{
    CTestComponent(uint32 uiValue, Link* pLink) : m_uiValue(uiValue), m_pLink(pLink) {}
    virtual ~CTestComponent() = default;
    virtual uint32 GetValue() const { return m_uiValue; }
    uint32 m_uiValue;
    Link* m_pLink;
};
constexpr uint32 kSize = sizeof(CTestComponent);

std::vector<uint8> BytesOf(const void* pData)
{
    return std::vector<uint8>(static_cast<const uint8*>(pData), static_cast<const uint8*>(pData) + kSize);
}

CTestComponent* Element(UserDataHeader* pHeader, uint32 uiIndex)
{
    return TarnRenderer::GetUserDataElement<CTestComponent>(pHeader, uiIndex);
}

uint32 LiveBlocks()
{
    return Common::Mem::CMemoryManager::GetInstance()->GetNumAllocations();
}

// A record whose payload claims uiSize bytes; the block always holds at least
// the first four characters of pBytes, so only the size keeps a short payload
// from matching.
UserData* MakeRawRecord(UserDataPool& kPool, const char* pBytes, uint32 uiSize)
{
    UserData* pRecord = kPool.Acquire();
    pRecord->m_pData = TARN_ALLOC(uiSize < 4 ? 4 : uiSize);
    std::memcpy(pRecord->m_pData, pBytes, uiSize < 4 ? 4 : uiSize);
    pRecord->m_uiSize = uiSize;
    return pRecord;
}

class UserDataTest : public testing::Test
{
protected:
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
    UserDataHeader* pHeader = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, kFirst);
    ASSERT_NE(pHeader, nullptr);
    UserData* pRecord = m_kLink.GetFirstUserData();
    EXPECT_EQ(pRecord->m_uiSize, 8u + kSize);
    EXPECT_EQ(std::string(static_cast<const char*>(pRecord->m_pData), 4), "GAIT");
    EXPECT_EQ(reinterpret_cast<uint8*>(Element(pHeader, 0)), reinterpret_cast<uint8*>(pHeader) + 8);
    const std::vector<uint8> kFirstBytes = BytesOf(&kFirst);
    EXPECT_EQ(BytesOf(Element(pHeader, 0)), kFirstBytes);

    const CTestComponent kSecond(2, nullptr);
    UserDataHeader* pGrown = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, kSecond);
    ASSERT_NE(pGrown, nullptr);
    EXPECT_EQ(m_kLink.GetFirstUserData(), pRecord);
    EXPECT_EQ(pRecord->m_pNext, nullptr);
    EXPECT_EQ(pRecord->m_pData, pGrown);
    EXPECT_EQ(pRecord->m_uiSize, 8u + 2u * kSize);
    EXPECT_EQ(TarnRenderer::GetUserDataCount(pGrown), 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pGrown) % 16, 0u);
    EXPECT_EQ(BytesOf(Element(pGrown, 0)), kFirstBytes);
    EXPECT_EQ(BytesOf(Element(pGrown, 1)), BytesOf(&kSecond));
    // The copies are working objects.
    EXPECT_EQ(Element(pGrown, 0)->GetValue(), 1u);
    EXPECT_EQ(Element(pGrown, 0)->m_pLink, &m_kLink);
    EXPECT_EQ(TarnRenderer::GetUserData<CTestComponent>(&m_kLink, kGait), pGrown);

    // An element of the record itself survives the growth it causes.
    pGrown = TarnRenderer::AddUserData(m_kPool, &m_kLink, kGait, *Element(pGrown, 0));
    EXPECT_EQ(BytesOf(Element(pGrown, 2)), kFirstBytes);
    EXPECT_EQ(m_kPool.GetUsedCount(), 1u);
}

TEST_F(UserDataTest, PayloadShorterThanFourBytesNeverMatches)
{
    const struct
    {
        const char* pBytes;
        uint32 uiSize;
        bool bMatches;
    } akCases[] = {
        {"GAIT", 0, false}, {"GAIT", 1, false},    {"GAIT", 2, false}, {"GAIT", 3, false},
        {"GAIT", 4, true},  {"GAITxxxx", 8, true}, {"GAIX", 4, false}, {"gait", 4, false},
    };
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(std::string(kCase.pBytes) + " / " + std::to_string(kCase.uiSize));
        ASSERT_TRUE(m_kLink.AttachUserData(MakeRawRecord(m_kPool, kCase.pBytes, kCase.uiSize)));
        EXPECT_EQ(TarnRenderer::GetUserData<CTestComponent>(&m_kLink, kGait) != nullptr, kCase.bMatches);
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
    const char* const pChainedReport = "Assertion \"!_pNewData->m_pNext\" failed. New UserData should have null next";
    // Records already on the link; which record is attached again: 0 one of no
    // list whose successor is set, 1 the head, 2 the tail.
    const struct
    {
        uint32 uiListed;
        uint32 uiAttach;
        const char* pReport;
    } akCases[] = {
        {2, 0, pChainedReport},
        {1, 1, "Assertion \"_pNewData != m_pUserData\" failed. UserData already added"},
        {2, 1, pChainedReport},                                           // the head of a longer list has a successor
        {2, 2, "Assertion \"!bListed\" failed. UserData already added"},  // the tail has none, but is listed
    };
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pReport);
        std::vector<UserData*> kListed;  // newest first, as the link chains them
        for (uint32 i = 0; i < kCase.uiListed; ++i)
        {
            kListed.insert(kListed.begin(), MakeRawRecord(m_kPool, "LIST", 4));
            ASSERT_TRUE(m_kLink.AttachUserData(kListed.front()));
        }
        UserData* pChained = MakeRawRecord(m_kPool, "CHAI", 4);
        pChained->m_pNext = kListed.back();
        UserData* const apAttach[] = {pChained, kListed.front(), kListed.back()};

        TestSupport::CAssertCapture kCapture;
        EXPECT_FALSE(m_kLink.AttachUserData(apAttach[kCase.uiAttach]));
        EXPECT_EQ(kCapture.Texts(), std::vector<std::string>{kCase.pReport});
        std::vector<UserData*> kNow;
        for (UserData* pRecord = m_kLink.GetFirstUserData(); pRecord && kNow.size() < 8; pRecord = pRecord->m_pNext)
            kNow.push_back(pRecord);
        EXPECT_EQ(kNow, kListed);

        pChained->m_pNext = nullptr;
        m_kPool.Release(pChained);
        m_kLink.ReleaseUserData(m_kPool);
    }
}

TEST(UserDataPool, RecordsComeBackCleanAndAreReused)
{
    UserDataPool kPool;
    UserData* pRecord = kPool.Acquire();
    EXPECT_EQ(kPool.GetRecordCount(), UserDataPool::kRecordsPerBlock);
    const uint32 uiBefore = LiveBlocks();
    pRecord->m_pData = TARN_ALLOC(64);
    pRecord->m_uiSize = 64;
    kPool.Release(pRecord);
    EXPECT_EQ(LiveBlocks(), uiBefore);  // the payload went with the release
    EXPECT_EQ(kPool.GetUsedCount(), 0u);
    UserData* pAgain = kPool.Acquire();
    EXPECT_EQ(pAgain, pRecord);
    EXPECT_TRUE(pAgain->m_pData == nullptr && pAgain->m_uiSize == 0u);

    // A foreign record and a second release are refused.
    UserDataPool kOtherPool;
    TestSupport::CAssertCapture kCapture;
    kOtherPool.Release(pAgain);
    kPool.Release(pAgain);
    kPool.Release(pAgain);
    EXPECT_EQ(kCapture.Count(), 2u);
    EXPECT_EQ(kPool.GetUsedCount(), 0u);
    // Listed free once only; past a full block records come from a new one.
    std::vector<UserData*> kRecords;
    for (uint32 i = 0; i <= UserDataPool::kRecordsPerBlock; ++i)
        kRecords.push_back(kPool.Acquire());
    EXPECT_NE(kRecords[0], kRecords[1]);
    EXPECT_EQ(kPool.GetRecordCount(), 2 * UserDataPool::kRecordsPerBlock);
    for (UserData* pUsed : kRecords)
        kPool.Release(pUsed);
    EXPECT_EQ(kCapture.Count(), 2u);
}

// A scene's work, and a pool that goes before a link still holding its
// records (reported, and the records reclaimed): no block stays behind.
TEST(UserDataPool, ScenesWorkAndAPoolGoingFirstLeaveNoBlocksBehind)
{
    // Two rounds: the first registers the tag paths, which stay for the process.
    for (int iRound = 0; iRound < 2; ++iRound)
    {
        const uint32 uiBefore = LiveBlocks();
        {
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
        }
        if (iRound > 0)
        {
            EXPECT_EQ(LiveBlocks(), uiBefore);
        }
    }

    const uint32 uiBefore = LiveBlocks();
    Link kLink;
    TestSupport::CAssertCapture kCapture;
    {
        UserDataPool kPool;
        TarnRenderer::AddUserData(kPool, &kLink, kGait, CTestComponent(1, nullptr));
        TarnRenderer::AddUserData(kPool, &kLink, kSound, uint32(1));
    }
    EXPECT_EQ(kCapture.Count(), 1u);
    EXPECT_EQ(LiveBlocks(), uiBefore);
}

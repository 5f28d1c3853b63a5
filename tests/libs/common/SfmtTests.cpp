#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Math/SFMT/SFMT.h"
#include "support/ReportCapture.h"

using Math::CSfmt19937;

// Published reference output of the 19937 parameter set, then the blocks
// regenerated after the first: the same for every generator of the seed, and
// new output rather than the first block again.
TEST(Sfmt, MatchesReferenceOutputAcrossRegeneratedBlocks)
{
    const std::pair<uint32, std::vector<uint32>> akReferences[] = {
        {1234, {3440181298u, 1564997079u, 1510669302u, 2930277156u, 1452439940u, 3796268453u, 423124208u}},
        {0, {772581976u, 265233418u, 1048142482u, 1602309670u}},
        {0x80000000u, {3802665797u, 2348422453u, 77172185u, 2594230312u}},
    };
    constexpr uint32 N = CSfmt19937::StateWords32;
    CSfmt19937 kReused(99);
    for (const auto& [uiSeed, kFirst] : akReferences)
    {
        SCOPED_TRACE(uiSeed);
        CSfmt19937 kFresh(uiSeed);
        // Reseeding a generator part-way through a block restarts the sequence.
        kReused.NextUInt32();
        kReused.Seed(uiSeed);
        std::vector<uint32> kDrawn;
        for (uint32 i = 0; i < 2 * N; ++i)
        {
            kDrawn.push_back(kFresh.NextUInt32());
            ASSERT_EQ(kReused.NextUInt32(), kDrawn.back()) << "draw " << i;
        }
        EXPECT_EQ(std::vector<uint32>(kDrawn.begin(), kDrawn.begin() + kFirst.size()), kFirst);
        uint32 uiSameAsBlock0 = 0;
        for (uint32 i = 0; i < N; ++i)
            uiSameAsBlock0 += kDrawn[i] == kDrawn[N + i] ? 1 : 0;
        EXPECT_LT(uiSameAsBlock0, 4u);
    }
}

// The value is min + next % span, spans of one and spans beyond an int32
// included; the full 32-bit span skips the remainder. An empty range is
// reported and gives its minimum without drawing.
TEST(Sfmt, RandomRange)
{
    TestSupport::CAssertCapture kAsserts;
    const int32 iMin = std::numeric_limits<int32>::min();
    const int32 iMax = std::numeric_limits<int32>::max();
    const std::tuple<int32, int32, uint64> akRanges[] = {
        {iMin, iMax, 1ull << 32}, {-1, iMax, 0x80000001u}, {10, 19, 10}, {-2, 5, 8}, {3, 3, 1}};
    CSfmt19937 kReference(11);
    CSfmt19937 kRanged(11);
    for (const auto& [iLow, iHigh, ui64Span] : akRanges)
        EXPECT_EQ(kRanged.RandomRange(iLow, iHigh), static_cast<int32>(iLow + kReference.NextUInt32() % ui64Span));
    EXPECT_EQ(kAsserts.Count(), 0u);
    EXPECT_EQ(kRanged.RandomRange(5, 4), 5);
    EXPECT_TRUE(kAsserts.Has("Assertion \"iMin <= iMax\" failed. Empty range [5, 4]"));
    EXPECT_EQ(kRanged.NextUInt32(), kReference.NextUInt32());
}

TEST(Sfmt, UseBeforeSeedingIsReportedOnceAndSeedsWithZero)
{
    TestSupport::CAssertCapture kAsserts;
    CSfmt19937 kUnseeded;
    CSfmt19937 kZero(0);
    EXPECT_FALSE(kUnseeded.IsSeeded());
    for (int i = 0; i < 700; ++i)
        ASSERT_EQ(kUnseeded.NextUInt32(), kZero.NextUInt32());
    ASSERT_EQ(kAsserts.Count(), 1u);
    EXPECT_EQ(kAsserts.Texts()[0].rfind("Assertion \"initialized\" failed. ", 0), 0u) << kAsserts.Texts()[0];
    // The process-wide generator.
    Math::SeedRandom(1234);
    EXPECT_EQ(Math::Random32(), 3440181298u);
    EXPECT_EQ(Math::GetRandomGenerator().NextUInt32(), 1564997079u);
    EXPECT_EQ(Math::RandomRange(0, 9), static_cast<int32>(1510669302u % 10));
}

#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "Math/SFMT/SFMT.h"
#include "support/ReportCapture.h"

namespace {

using Math::CSfmt19937;

// Published reference output of the 19937 parameter set.
struct SReference
{
    uint32 uiSeed;
    std::vector<uint32> kFirst;
};

TEST(Sfmt, MatchesReferenceOutput)
{
    const SReference akReferences[] = {
        {1234,
         {3440181298u, 1564997079u, 1510669302u, 2930277156u, 1452439940u, 3796268453u, 423124208u,
          2143818589u, 3827219408u, 2987036003u, 2674978610u, 1536842514u, 2027035537u, 2534897563u,
          1686527725u, 545368292u, 1489013321u, 1370534252u, 4231012796u, 3994803019u}},
        {0,
         {772581976u, 265233418u, 1048142482u, 1602309670u, 3373935053u, 3413705399u, 3210284462u, 863469473u,
          3245518687u, 498391845u}},
        {2147483647u,
         {904772199u, 1064192912u, 1906522326u, 4285143873u, 547006276u, 44221428u, 2785557915u, 3086200219u,
          3882166955u, 1307696526u}},
        {0x80000000u,
         {3802665797u, 2348422453u, 77172185u, 2594230312u, 3860939425u, 3189465778u, 2298123692u, 2355150791u,
          1308024730u, 4017304374u}},
    };
    CSfmt19937 kReused(99);
    for (const SReference& kReference : akReferences)
    {
        SCOPED_TRACE(kReference.uiSeed);
        CSfmt19937 kFresh(kReference.uiSeed);
        // Reseeding a generator part-way through a block restarts the sequence.
        kReused.NextUInt32();
        kReused.Seed(kReference.uiSeed);
        for (uint32 uiExpected : kReference.kFirst)
        {
            EXPECT_EQ(kFresh.NextUInt32(), uiExpected);
            EXPECT_EQ(kReused.NextUInt32(), uiExpected);
        }
    }
}

TEST(Sfmt, RegeneratedBlocksAreRepeatableAndNew)
{
    CSfmt19937 kFirst(1234);
    CSfmt19937 kSecond;
    kSecond.Seed(1234);
    std::vector<uint32> kBlock0;
    for (uint32 i = 0; i < CSfmt19937::StateWords32; ++i)
    {
        kBlock0.push_back(kFirst.NextUInt32());
        kSecond.NextUInt32();
    }
    uint32 uiSameAsBlock0 = 0;
    for (uint32 i = 0; i < CSfmt19937::StateWords32; ++i)
    {
        const uint32 uiValue = kFirst.NextUInt32();
        ASSERT_EQ(uiValue, kSecond.NextUInt32()) << "draw " << CSfmt19937::StateWords32 + i;
        uiSameAsBlock0 += (uiValue == kBlock0[i]) ? 1 : 0;
    }
    // The second block is new output, not the first one again.
    EXPECT_LT(uiSameAsBlock0, 4u);
}

TEST(Sfmt, RandomRange)
{
    TestSupport::CAssertCapture kAsserts;
    CSfmt19937 kGenerator(7);
    for (int i = 0; i < 1000; ++i)
    {
        ASSERT_EQ(kGenerator.RandomRange(3, 3), 3);
        const int32 iValue = kGenerator.RandomRange(-2, 5);
        ASSERT_GE(iValue, -2);
        ASSERT_LE(iValue, 5);
    }

    // The value is min + next % span, including the spans that do not fit in
    // an int32 and the full 32-bit span (where the remainder is skipped).
    const int32 iMin = std::numeric_limits<int32>::min();
    const int32 iMax = std::numeric_limits<int32>::max();
    CSfmt19937 kReference(11);
    CSfmt19937 kRanged(11);
    const uint32 uiNext0 = kReference.NextUInt32();
    const uint32 uiNext1 = kReference.NextUInt32();
    const uint32 uiNext2 = kReference.NextUInt32();
    EXPECT_EQ(kRanged.RandomRange(iMin, iMax), static_cast<int32>(0x80000000u + uiNext0));
    EXPECT_EQ(kRanged.RandomRange(-1, iMax), static_cast<int32>(0xFFFFFFFFu + uiNext1 % 0x80000001u));
    EXPECT_EQ(kRanged.RandomRange(10, 19), 10 + static_cast<int32>(uiNext2 % 10));
    EXPECT_EQ(kAsserts.Count(), 0u);

    // An empty range is reported and gives its minimum without drawing.
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

    CSfmt19937 kUnseededRange;
    EXPECT_EQ(kUnseededRange.RandomRange(0, 9), static_cast<int32>(772581976u % 10));
    EXPECT_EQ(kAsserts.Count(), 2u);
}

TEST(Sfmt, ProcessWideGenerator)
{
    Math::SeedRandom(1234);
    EXPECT_EQ(Math::Random32(), 3440181298u);
    EXPECT_EQ(Math::GetRandomGenerator().NextUInt32(), 1564997079u);
    EXPECT_EQ(Math::RandomRange(0, 9), static_cast<int32>(1510669302u % 10));
}

}  // namespace

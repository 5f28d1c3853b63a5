#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "Containers/TArray.h"
#include "Containers/TMap.h"
#include "System/MemoryManager/MemoryManager.h"
#include "support/ReportCapture.h"

using TarnRenderer::TArray;
using TarnRenderer::TMap;

namespace {

// Counts live instances, to catch elements that are never destroyed or
// destroyed twice.
struct SCounted
{
    static int s_iLive;
    int iValue = 0;
    SCounted() { ++s_iLive; }
    SCounted(const SCounted& kOther) : iValue(kOther.iValue) { ++s_iLive; }
    SCounted& operator=(const SCounted&) = default;
    ~SCounted() { --s_iLive; }
};
int SCounted::s_iLive = 0;

template <class Array>
std::vector<unsigned> CapacitiesWhileAdding(Array& kArray, unsigned uiCount)
{
    std::vector<unsigned> kCapacities;
    for (unsigned i = 0; i < uiCount; ++i)
    {
        kArray.Add() = static_cast<typename Array::ValueType>(i);
        if (kCapacities.empty() || kCapacities.back() != kArray.GetCapacity())
            kCapacities.push_back(kArray.GetCapacity());
    }
    return kCapacities;
}

}  // namespace

TEST(TArray, AddDoublesFromSixteen)
{
    TArray<int> kArray;
    kArray.Add() = 7;
    EXPECT_EQ(kArray.GetCapacity(), 16u);
    TArray<int> kGrown;
    EXPECT_EQ(CapacitiesWhileAdding(kGrown, 40), (std::vector<unsigned>{16, 32, 64}));
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(kGrown[i], i);
}

TEST(TArray, FullArrayReportsAndStaysUnchanged)
{
    // An 8-bit size type makes the largest size reachable: past half of it the
    // capacity jumps to the largest value, and one more Add is refused.
    TArray<int, unsigned char> kArray;
    EXPECT_EQ(CapacitiesWhileAdding(kArray, 255), (std::vector<unsigned>{16, 32, 64, 128, 255}));

    TestSupport::CAssertCapture kReports;
    int& kScratch = kArray.Add();
    kScratch = -1;
    EXPECT_TRUE(kReports.Has("Assertion \"m_uiSize<uiMaxValue\" failed. TArray capacity is full already"));
    EXPECT_EQ(kArray.GetSize(), 255u);
    EXPECT_EQ(kArray[254], 254);
    EXPECT_EQ(std::count(kArray.begin(), kArray.end(), -1), 0);
}

TEST(TArray, ResizeAlwaysReallocatesToTheExactSize)
{
    TArray<int> kArray;
    kArray.Reserve(100);
    for (int i = 0; i < 10; ++i)
        kArray.Add() = i;

    kArray.Resize(3);
    EXPECT_EQ(kArray.GetSize(), 3u);
    EXPECT_EQ(kArray.GetCapacity(), 3u);
    EXPECT_EQ((std::vector<int>(kArray.begin(), kArray.end())), (std::vector<int>{0, 1, 2}));

    kArray.Resize(5);
    EXPECT_EQ((std::vector<int>(kArray.begin(), kArray.end())), (std::vector<int>{0, 1, 2, 0, 0}));

    kArray.Resize(0);
    EXPECT_EQ(kArray.GetSize(), 0u);
    EXPECT_EQ(kArray.GetCapacity(), 0u);
    EXPECT_EQ(kArray.GetData(), nullptr);
}

TEST(TArray, ReserveOnlyGrows)
{
    TArray<int> kArray;
    kArray.Add() = 1;
    kArray.Reserve(4);
    EXPECT_EQ(kArray.GetCapacity(), 16u);
    kArray.Reserve(20);
    EXPECT_EQ(kArray.GetCapacity(), 20u);
    EXPECT_EQ(kArray.GetSize(), 1u);
    EXPECT_EQ(kArray[0], 1);
}

TEST(TArray, SlotsPastTheSizeAreHandedOutDefaultValued)
{
    // Assigning a shorter array and removing elements must not leave old
    // values behind for the next Add.
    TArray<int> kLong;
    for (int i = 1; i <= 10; ++i)
        kLong.Add() = i;
    TArray<int> kShort;
    kShort.Add() = 100;
    kShort.Add() = 200;

    kLong = kShort;
    EXPECT_EQ(kLong.GetSize(), 2u);
    EXPECT_EQ(kLong.GetCapacity(), 16u);
    EXPECT_EQ(kLong.Add(), 0);

    kLong.RemoveAt(0);
    EXPECT_EQ((std::vector<int>(kLong.begin(), kLong.end())), (std::vector<int>{200, 0}));
    kLong.RemoveAt(1);
    EXPECT_EQ(kLong.Add(), 0);
}

TEST(TArray, CopyGrowsToExactlyTheSourceSize)
{
    TArray<int> kSource;
    for (int i = 0; i < 20; ++i)
        kSource.Add() = i;
    TArray<int> kCopy;
    kCopy = kSource;
    EXPECT_EQ(kCopy.GetCapacity(), 20u);
    kSource[0] = 99;
    EXPECT_EQ(kCopy[0], 0);
    TArray<int> kConstructed(kSource);
    EXPECT_EQ(kConstructed[0], 99);
    EXPECT_EQ(kConstructed.GetSize(), 20u);
}

TEST(TArray, AddOfOwnElementSurvivesGrowth)
{
    TArray<int> kArray;
    for (int i = 0; i < 16; ++i)
        kArray.Add() = i + 1;
    kArray.Add(kArray[3]);  // grows: the argument's storage is released
    EXPECT_EQ(kArray[16], 4);
}

TEST(TArray, ElementsAreConstructedAndDestroyedOnce)
{
    SCounted::s_iLive = 0;
    {
        TArray<SCounted> kArray;
        for (int i = 0; i < 50; ++i)
            kArray.Add().iValue = i;
        TArray<SCounted> kCopy(kArray);
        kCopy.Resize(7);
        kArray.RemoveAt(10);
        kArray = kCopy;
        EXPECT_EQ(kArray[6].iValue, 6);
        TArray<TArray<SCounted>> kNested;
        kNested.Add() = kCopy;
        kNested.Add(kNested[0]);
        kNested[0][0].iValue = 42;
        EXPECT_EQ(kNested[1][0].iValue, 0);
    }
    EXPECT_EQ(SCounted::s_iLive, 0);
}

TEST(TArray, BuffersAreAttributedToTheContainerCode)
{
    TArray<int> kArray;
    kArray.Add() = 1;
    const auto* pHeader = reinterpret_cast<const Common::Mem::SAllocInfo*>(
        reinterpret_cast<const char*>(kArray.GetData()) - sizeof(Common::Mem::SAllocInfo));
    ASSERT_NE(pHeader->file, nullptr);
    EXPECT_STREQ(pHeader->file, "src/libs/common/Containers/TArray.h");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(kArray.GetData()) % 16, 0u);
}

TEST(TMap, InsertKeepsKeysSortedAndGrowsByAQuarter)
{
    TMap<unsigned, int> kMap;
    std::vector<unsigned> kCapacities;
    for (unsigned uiKey : {5u, 1u, 3u})
    {
        kMap.Insert(uiKey, static_cast<int>(uiKey) * 10);
        kCapacities.push_back(kMap.GetCapacity());
    }
    EXPECT_EQ(kCapacities, (std::vector<unsigned>{1, 2, 3}));
    ASSERT_EQ(kMap.GetSize(), 3u);
    EXPECT_EQ(kMap.GetAt(0).Key, 1u);
    EXPECT_EQ(kMap.GetAt(1).Key, 3u);
    EXPECT_EQ(kMap.GetAt(2).Key, 5u);

    auto& kPair = kMap.Insert(3, -3);
    EXPECT_EQ(kPair.Value, -3);
    EXPECT_EQ(kMap.GetSize(), 3u);
    EXPECT_EQ(kMap.GetAt(kMap.Find(3)).Value, -3);

    TMap<unsigned, int> kSequential;
    std::vector<unsigned> kSteps;
    for (unsigned i = 0; i < 13; ++i)
    {
        kSequential.Insert(i, 0);
        if (kSteps.empty() || kSteps.back() != kSequential.GetCapacity())
            kSteps.push_back(kSequential.GetCapacity());
    }
    EXPECT_EQ(kSteps, (std::vector<unsigned>{1, 2, 3, 5, 7, 10, 13}));
}

TEST(TMap, FindMissesYieldTheSentinel)
{
    TMap<unsigned, int> kMap;
    EXPECT_EQ(kMap.Find(4), 0xFFFFFFFFu);
    for (unsigned uiKey : {2u, 4u, 6u, 8u})
        kMap.Insert(uiKey, 1);
    for (unsigned uiKey : {0u, 1u, 3u, 5u, 7u, 9u, 0xFFFFFFFFu})
        EXPECT_EQ(kMap.Find(uiKey), 0xFFFFFFFFu) << uiKey;
    EXPECT_EQ(kMap.Lookup(5), nullptr);
    ASSERT_NE(kMap.Lookup(6), nullptr);
}

TEST(TMap, BehavesLikeAnOrderedMapUnderRandomUse)
{
    std::mt19937 kRandom(1234);
    std::uniform_int_distribution<unsigned> kKeys(0, 400);
    TMap<unsigned long long, void*> kMap;
    std::map<unsigned long long, void*> kReference;
    for (int iStep = 0; iStep < 3000; ++iStep)
    {
        const unsigned long long uiKey = kKeys(kRandom) * 0x100000001ull;
        if (iStep % 4 == 3)
        {
            EXPECT_EQ(kMap.Remove(uiKey), kReference.erase(uiKey) == 1);
        }
        else
        {
            void* pValue = reinterpret_cast<void*>(static_cast<uintptr_t>(iStep + 1));
            kMap.Insert(uiKey, pValue);
            kReference[uiKey] = pValue;
        }
    }
    ASSERT_EQ(kMap.GetSize(), kReference.size());
    unsigned uiIndex = 0;
    for (const auto& [uiKey, pValue] : kReference)
    {
        ASSERT_EQ(kMap.GetAt(uiIndex).Key, uiKey);
        ASSERT_EQ(kMap.GetAt(uiIndex).Value, pValue);
        ASSERT_EQ(kMap.Find(uiKey), uiIndex);
        ++uiIndex;
    }

    TMap<unsigned long long, void*> kCopy;
    kCopy = kMap;
    EXPECT_EQ(kCopy.GetCapacity(), kMap.GetSize());
    kMap.Clear();
    EXPECT_EQ(kCopy.GetSize(), kReference.size());
}

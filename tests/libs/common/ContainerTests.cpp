#include <algorithm>
#include <map>
#include <numeric>
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

// Counts live instances: an element never destroyed or destroyed twice shows.
struct SCounted
{
    static inline int s_iLive = 0;
    int iValue = 0;
    SCounted() { ++s_iLive; }
    SCounted(const SCounted& kOther) : iValue(kOther.iValue) { ++s_iLive; }
    SCounted& operator=(const SCounted&) = default;
    ~SCounted() { --s_iLive; }
};

// Adds elements valued by their index up to uiCount; the capacities seen.
template <class Array> std::vector<unsigned> Fill(Array& kArray, unsigned uiCount)
{
    std::vector<unsigned> kCapacities;
    while (kArray.GetSize() < uiCount)
    {
        auto& kNew = kArray.Add();
        kNew = static_cast<typename Array::ValueType>(kArray.GetSize() - 1);
        if (kCapacities.empty() || kCapacities.back() != kArray.GetCapacity())
            kCapacities.push_back(kArray.GetCapacity());
    }
    return kCapacities;
}

std::vector<int> Items(const TArray<int>& kArray)
{
    return {kArray.begin(), kArray.end()};
}

}  // namespace

TEST(TArray, GrowthCopiesAndRemovalsKeepTheElements)
{
    TArray<int> kArray;
    EXPECT_EQ(Fill(kArray, 40), (std::vector<unsigned>{16, 32, 64}));
    EXPECT_EQ(std::accumulate(kArray.begin(), kArray.end(), 0), 39 * 40 / 2);
    const auto* pHeader = reinterpret_cast<const Common::Mem::SAllocInfo*>(
        reinterpret_cast<const char*>(kArray.GetData()) - sizeof(Common::Mem::SAllocInfo));
    EXPECT_STREQ(pHeader->file, "src/libs/common/Containers/TArray.h");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(kArray.GetData()) % 16, 0u);
    TArray<int> kCopy(kArray);
    EXPECT_EQ(kCopy.GetCapacity(), 40u);
    kArray.Reserve(50);
    EXPECT_EQ(kArray.GetCapacity(), 64u);
    kArray.Reserve(100);
    EXPECT_EQ(kArray.GetCapacity(), 100u);
    kArray.Resize(3);
    EXPECT_EQ(kArray.GetCapacity(), 3u);
    EXPECT_EQ(Items(kArray), (std::vector<int>{0, 1, 2}));
    kArray.Resize(5);
    EXPECT_EQ(Items(kArray), (std::vector<int>{0, 1, 2, 0, 0}));
    kArray.Add(kArray[1]);  // grows: the argument's storage is released
    EXPECT_EQ(Items(kArray), (std::vector<int>{0, 1, 2, 0, 0, 1}));
    // Assigning a shorter array and removing leave no old value behind.
    kCopy = kArray;
    kCopy.RemoveAt(0);
    EXPECT_EQ(Items(kCopy), (std::vector<int>{1, 2, 0, 0, 1}));
    EXPECT_EQ(kCopy.Add(), 0);  // freed by RemoveAt
    EXPECT_EQ(kCopy.Add(), 0);  // freed by the assignment
    EXPECT_EQ(kCopy.GetCapacity(), 40u);
    kArray.Resize(0);
    EXPECT_EQ(kArray.GetCapacity(), 0u);
    EXPECT_EQ(kArray.GetData(), nullptr);
}

TEST(TArray, FullArrayReportsAndStaysUnchanged)
{
    // With an 8-bit size the capacity jumps to the largest value past half of
    // it, and one more Add is refused.
    TArray<int, unsigned char> kArray;
    EXPECT_EQ(Fill(kArray, 255), (std::vector<unsigned>{16, 32, 64, 128, 255}));
    TestSupport::CAssertCapture kReports;
    kArray.Add() = -1;
    EXPECT_TRUE(kReports.Has("Assertion \"m_uiSize<uiMaxValue\" failed. TArray capacity is full already"));
    EXPECT_EQ(kArray.GetSize(), 255u);
    EXPECT_EQ(kArray[254], 254);
    EXPECT_EQ(std::count(kArray.begin(), kArray.end(), -1), 0);
}

TEST(TArray, ElementsAreConstructedAndDestroyedOnce)
{
    {
        TArray<SCounted> kArray;
        for (int i = 0; i < 50; ++i)
            kArray.Add().iValue = i;
        TArray<SCounted> kCopy(kArray);
        kCopy.Resize(7);
        kArray.RemoveAt(10);
        EXPECT_EQ(kArray[10].iValue, 11);
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

TEST(TMap, CapacityGrowsByAQuarterAndMissesYieldTheSentinel)
{
    TMap<unsigned, int> kMap;
    EXPECT_EQ(kMap.Find(4), 0xFFFFFFFFu);
    std::vector<unsigned> kSteps;
    for (unsigned uiKey = 26; uiKey > 0; uiKey -= 2)
    {
        kMap.Insert(uiKey, 1);
        if (kSteps.empty() || kSteps.back() != kMap.GetCapacity())
            kSteps.push_back(kMap.GetCapacity());
    }
    EXPECT_EQ(kSteps, (std::vector<unsigned>{1, 2, 3, 5, 7, 10, 13}));
    for (unsigned uiKey : {0u, 1u, 3u, 13u, 27u, 0xFFFFFFFFu})
        EXPECT_EQ(kMap.Find(uiKey), 0xFFFFFFFFu) << uiKey;
    EXPECT_EQ(kMap.Lookup(5), nullptr);
    EXPECT_EQ(*kMap.Lookup(6), 1);
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
        void* pValue = reinterpret_cast<void*>(static_cast<uintptr_t>(iStep + 1));
        if (iStep % 4 != 3)
            kMap.Insert(uiKey, kReference[uiKey] = pValue);
        else
            EXPECT_EQ(kMap.Remove(uiKey), kReference.erase(uiKey) == 1);
    }
    ASSERT_EQ(kMap.GetSize(), kReference.size());
    unsigned uiIndex = 0;
    for (const auto& [uiKey, pValue] : kReference)
    {
        ASSERT_EQ(kMap.GetAt(uiIndex).Key, uiKey);
        ASSERT_EQ(kMap.GetAt(uiIndex).Value, pValue);
        ASSERT_EQ(kMap.Find(uiKey), uiIndex++);
    }
    TMap<unsigned long long, void*> kCopy;
    kCopy = kMap;
    EXPECT_EQ(kCopy.GetCapacity(), kMap.GetSize());
    kMap.Clear();
    EXPECT_EQ(kCopy.GetSize(), kReference.size());
}

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "support/ReportCapture.h"

using Common::Mem::CMemoryManager;
using Common::Mem::SAllocInfo;
using Texts = std::vector<std::string>;

namespace {

const SAllocInfo* HeaderOf(const void* pBlock)
{
    return reinterpret_cast<const SAllocInfo*>(static_cast<const char*>(pBlock) - sizeof(SAllocInfo));
}

uint32 GuardAfter(const void* pBlock, size_t uiSize)
{
    uint32 uiGuard;
    memcpy(&uiGuard, static_cast<const char*>(pBlock) + uiSize, sizeof(uiGuard));
    return uiGuard;
}

// A manager of the test's own, apart from the process-wide one.
class MemoryManager : public testing::Test
{
protected:
    char* Alloc(size_t uiSize, uint32 uiAlignment = 16)
    {
        return static_cast<char*>(m_kManager.Alloc(uiSize, uiAlignment, __FILE__, __LINE__));
    }
    char* Realloc(void* pBlock, size_t uiSize)
    {
        return static_cast<char*>(m_kManager.Realloc(pBlock, uiSize, __FILE__, __LINE__));
    }
    CMemoryManager m_kManager;
};

}  // namespace

TEST_F(MemoryManager, BlocksAreAlignedGuardedAndRecordTheirOrigin)
{
    const std::pair<size_t, uint32> akRequests[] = {{100, 0}, {100, 1},  {100, 2},    {100, 8},
                                                    {0, 16},  {100, 64}, {100, 4096}, {100, 1u << 20}};
    for (const auto& [uiSize, uiAlignment] : akRequests)
    {
        SCOPED_TRACE(uiAlignment);
        const int iLine = __LINE__ + 1;
        char* pBlock = static_cast<char*>(m_kManager.Alloc(uiSize, uiAlignment, __FILE__, iLine));
        ASSERT_NE(pBlock, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pBlock) % std::max(uiAlignment, 16u), 0u);
        memset(pBlock, 0xAB, uiSize);
        const SAllocInfo* pInfo = HeaderOf(pBlock);
        EXPECT_EQ(pInfo->size, uiSize);
        EXPECT_STREQ(pInfo->file, __FILE__);
        EXPECT_EQ(pInfo->GetLine(), static_cast<uint32>(iLine));
        EXPECT_EQ(pInfo->GetHeapIndex(), 0);
        EXPECT_EQ(memcmp(pInfo->signature, "COMMMEMM", 8), 0);
        EXPECT_EQ(GuardAfter(pBlock, uiSize), CMemoryManager::kGuardWord);
        EXPECT_EQ(m_kManager.Free(pBlock), 0);
    }
}

TEST_F(MemoryManager, RejectedRequestsAreReportedAndAllocateNothing)
{
    const std::tuple<size_t, uint32, const char*> akCases[] = {
        {16, 24,
         "Assertion \"(alignementbytes & (alignementbytes - 1)) == 0\" failed. Alignment of 24 bytes is not a power "
         "of two"},
        {16, 1u << 29,
         "Assertion \"alignementbytes<=268435456\" failed. Alignment of 536870912 bytes is larger than the manager "
         "supports"},
        {size_t(5) << 30, 16,
         "Assertion \"size<=kMaxBlockSize\" failed. Alloc of 5368709120 bytes is larger than a block can record"},
    };
    for (const auto& [uiSize, uiAlignment, pReport] : akCases)
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_EQ(Alloc(uiSize, uiAlignment), nullptr);
        EXPECT_EQ(kReports.Texts(), Texts{pReport});
        EXPECT_EQ(m_kManager.GetNumAllocations(), 0u);
    }
}

// The report comes while Free holds the heap's lock: a handler that allocates
// must be let in again.
TEST_F(MemoryManager, OverrunGuardIsReportedAndTheBlockStillFreed)
{
    TestSupport::CLogCapture kLog;
    char* pBlock = Alloc(32);
    pBlock[32] = 'X';  // one byte past the end: the guard word
    EXPECT_EQ(m_kManager.CheckBufferOverrun(), 1u);
    EXPECT_TRUE(kLog.Has("Memory Manager Check: 1 Buffer Overrun"));
    EXPECT_TRUE(kLog.Contains("Buffer Overrun at 0x"));
    static Texts s_kReports;
    s_kReports.clear();
    void* pOldUser = nullptr;
    const Common::AssertHandler pOld = Common::SetAssertHandler(
        [](const char*, int, const char* pText, void* pUser) {
            s_kReports.emplace_back(pText);
            auto* pManager = static_cast<CMemoryManager*>(pUser);
            pManager->Free(pManager->Alloc(32, 16, __FILE__, __LINE__));
        },
        &m_kManager, &pOldUser);
    EXPECT_EQ(m_kManager.Free(pBlock), 0);
    Common::SetAssertHandler(pOld, pOldUser);
    EXPECT_EQ(s_kReports, Texts{"Assertion \"false\" failed. BUFFER_OVERRUN"});
    EXPECT_EQ(m_kManager.GetAllocatedBytes(), 0u);
}

TEST_F(MemoryManager, ForeignAndFreedPointersAreReportedAndLeftAlone)
{
    // Free once gave "Undefined error" for a heap without a handle.
    EXPECT_STREQ(CMemoryManager::GetErrorText(Common::Mem::kErrHeapHasNoHandle), "Heap has no handle");
    EXPECT_STREQ(CMemoryManager::GetErrorText(99), "Undefined error");
    // A pointer into the middle of a zeroed buffer never came from the manager.
    std::vector<char> kForeign(256, 0);
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_EQ(m_kManager.Free(kForeign.data() + 128), Common::Mem::kErrInvalidPointer);
        EXPECT_STREQ(CMemoryManager::GetErrorText(m_kManager.GetLastError()), "Invalid pointer");
        EXPECT_EQ(
            kReports.Texts(),
            Texts{"Assertion \"_pHeap\" failed. Memory not-allocated with MemoryManager. This should not happen."});
    }
    EXPECT_EQ(m_kManager.Free(nullptr), 0);
    EXPECT_EQ(m_kManager.GetLastError(), 0);
    // A second free finds the cleared signature, a read of released memory
    // that sanitizers rightly flag.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    char* pBlock = Alloc(64);
    EXPECT_EQ(m_kManager.Free(pBlock), 0);
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(m_kManager.Free(pBlock), Common::Mem::kErrInvalidPointer);
    EXPECT_EQ(kReports.Count(), 1u);
    EXPECT_EQ(m_kManager.GetNumAllocations(), 0u);
#endif
}

TEST_F(MemoryManager, ReallocKeepsContentsAndAccounting)
{
    std::vector<char> kPattern(5000);
    std::iota(kPattern.begin(), kPattern.end(), char(1));
    // Null makes a new block.
    char* pBlock = Realloc(nullptr, 40);
    ASSERT_NE(pBlock, nullptr);
    memcpy(pBlock, kPattern.data(), 40);
    pBlock = Realloc(pBlock, 100000);
    ASSERT_NE(pBlock, nullptr);
    EXPECT_EQ(memcmp(pBlock, kPattern.data(), 40), 0);
    EXPECT_EQ(GuardAfter(pBlock, 100000), CMemoryManager::kGuardWord);
    EXPECT_EQ(m_kManager.GetAllocatedBytes(), 100000u);
    pBlock = Realloc(pBlock, 10);
    EXPECT_EQ(memcmp(pBlock, kPattern.data(), 10), 0);
    EXPECT_EQ(m_kManager.GetAllocatedBytes(), 10u);
    EXPECT_EQ(m_kManager.Free(pBlock), 0);
    // A block aligned far beyond 16 bytes keeps its data when shrunk.
    char* pAligned = Alloc(5000, 4096);
    memcpy(pAligned, kPattern.data(), 5000);
    pAligned = Realloc(pAligned, 300);
    ASSERT_NE(pAligned, nullptr);
    EXPECT_EQ(memcmp(pAligned, kPattern.data(), 300), 0);
    EXPECT_EQ(m_kManager.Free(pAligned), 0);
    // A pointer the manager did not make comes back unchanged.
    std::vector<char> kForeign(256, 0);
    EXPECT_EQ(Realloc(kForeign.data() + 128, 10), kForeign.data() + 128);
}

// Heap 0 exists; fifteen threads get a heap each, the sixteenth does not. A
// block is reallocated only on its own heap, and freed on any.
TEST_F(MemoryManager, ThreadHeapsAreLimitedToSixteenAndReallocStaysOnItsHeap)
{
    char* pBlock = Alloc(16);
    strcpy(pBlock, "still here");
    for (int i = 0; i < 16; ++i)
    {
        TestSupport::CAssertCapture kReports;
        Common::Mem::SHeapInfo* pHeap = nullptr;
        std::thread([&] {
            if (!(pHeap = m_kManager.CreateThreadHeap()))
                return;
            char* pOwn = Alloc(8);
            EXPECT_EQ(HeaderOf(pOwn)->GetHeapIndex(), pHeap->iIndex);
            EXPECT_EQ(m_kManager.Free(pOwn), 0);
            EXPECT_EQ(Realloc(pBlock, 64), nullptr);
        }).join();
        EXPECT_EQ(pHeap != nullptr, i < 15) << i;
        EXPECT_EQ(kReports.Count(), 1u) << i;
        EXPECT_EQ(kReports.Has("Assertion \"m_kHeaps[pAllocList->sAllocInfo.heap_index].iIndex == "
                               "pHeapInfo->iIndex\" failed. memory wasn't allocated with this heap"),
                  i < 15);
    }
    EXPECT_EQ(m_kManager.GetNumHeaps(), 16u);
    EXPECT_STREQ(pBlock, "still here");
    EXPECT_EQ(m_kManager.Free(pBlock), 0);
}

TEST_F(MemoryManager, TagsAccountNestedPathsAndFollowFreesOnOtherThreads)
{
    const uint32 uiOuter = m_kManager.PushTag("Outer");
    ASSERT_NE(uiOuter, 0u);
    char* pOuterBlock = Alloc(100);
    const uint32 uiInner = m_kManager.PushTag("Inner");
    char* pInnerBlock = Alloc(50);
    EXPECT_EQ(HeaderOf(pInnerBlock)->tag, uiInner);
    EXPECT_TRUE(HeaderOf(pInnerBlock)->IsTracked());
    EXPECT_EQ(m_kManager.GetTagBytes(uiOuter), 150u);
    EXPECT_EQ(m_kManager.GetTagBytes(uiInner), 50u);
    // Suspended tracking: the block carries no tag and counts nowhere.
    m_kManager.SuspendTracking();
    char* pUntracked = Alloc(1000);
    m_kManager.ResumeTracking();
    EXPECT_EQ(HeaderOf(pUntracked)->tag, 0u);
    EXPECT_EQ(m_kManager.GetTagBytes(uiOuter), 150u);
    // Growing a tracked block moves its bytes with it.
    pInnerBlock = Realloc(pInnerBlock, 80);
    EXPECT_EQ(m_kManager.GetTagBytes(uiInner), 80u);
    EXPECT_EQ(m_kManager.GetTagBytes(uiOuter), 180u);
    m_kManager.PopTag();
    EXPECT_EQ(m_kManager.GetCurrentTagId(), uiOuter);
    EXPECT_EQ(m_kManager.PushTag("Inner"), uiInner);  // same name, same parent: same path
    m_kManager.PopAllTags();
    EXPECT_EQ(m_kManager.GetTagDepth(), 0u);
    // A block freed on another thread is subtracted from its own path.
    std::thread([&] { EXPECT_EQ(m_kManager.Free(pInnerBlock), 0); }).join();
    EXPECT_EQ(m_kManager.GetTagBytes(uiInner), 0u);
    EXPECT_EQ(m_kManager.GetTagBytes(uiOuter), 100u);
    m_kManager.Free(pOuterBlock);
    m_kManager.Free(pUntracked);
    EXPECT_EQ(m_kManager.GetTagBytes(uiOuter), 0u);
    // Each thread's tag list goes back to the pool when the thread ends.
    TestSupport::CAssertCapture kReports;
    for (uint32 i = 0; i < 2 * CMemoryManager::MAX_TAG_LISTS; ++i)
        std::thread([&] {
            EXPECT_NE(m_kManager.PushTag("Worker"), 0u);
            m_kManager.Free(Alloc(8));
        }).join();
    EXPECT_EQ(kReports.Count(), 0u);
}

TEST_F(MemoryManager, ReportsListLiveBlocksAndCountLeaks)
{
    void* apBlocks[] = {m_kManager.Alloc(100, 16, "small.cpp", 7), m_kManager.Alloc(3 << 20, 16, "large.cpp", 9)};
    {
        TestSupport::CLogCapture kLog;
        m_kManager.DisplayAllocs(0x100000);
        EXPECT_TRUE(kLog.Contains("large.cpp(9):        3 MB addr("));
        EXPECT_FALSE(kLog.Contains("small.cpp"));
        EXPECT_TRUE(kLog.Has("CMemoryManager Numbers of allocation=2"));
        m_kManager.DisplayAllocsByFile();
        EXPECT_TRUE(kLog.Has("CMemoryManager Num Allocating Files=2"));
        EXPECT_TRUE(kLog.Has("large.cpp(1): 3 MB"));
    }
    // Two blocks, then one (a leak too), then none.
    const std::pair<uint32, Texts> akReports[] = {
        {2,
         {"Memory Manager C++ Leaks detected ...", "Numbers of allocation : 2 (3145828 bytes)", std::string(73, '-')}},
        {1, {"Numbers of allocation : 1 (3145728 bytes)"}},
        {0, {"Memory Manager C++ Leak detected : 0 !!! "}},
    };
    for (const auto& [uiLive, kLines] : akReports)
    {
        TestSupport::CLogCapture kLog;
        EXPECT_EQ(m_kManager.ReportLeaks(), uiLive);
        for (const std::string& kLine : kLines)
            EXPECT_TRUE(kLog.Has(kLine)) << kLine;
        if (uiLive)
            m_kManager.Free(apBlocks[2 - uiLive]);
    }
}

TEST_F(MemoryManager, ConcurrentAllocAndFreeKeepTheListsConsistent)
{
    std::vector<void*> kShared(5000, nullptr);
    // Thread 1 allocates on its own heap, alone long enough between two shared
    // blocks to become its lock's favoured thread; thread 2 frees those blocks
    // (revoking the favour while thread 1 may be inside) and uses heap 0.
    std::thread kProducer([&] {
        m_kManager.CreateThreadHeap();
        for (void*& pSlot : kShared)
        {
            for (int i = 0; i < 80; ++i)
                m_kManager.Free(Alloc(40));
            __atomic_store_n(&pSlot, Alloc(24), __ATOMIC_RELEASE);
        }
    });
    std::thread kConsumer([&] {
        for (void*& pSlot : kShared)
        {
            void* pBlock;
            while (!(pBlock = __atomic_load_n(&pSlot, __ATOMIC_ACQUIRE)))
                std::this_thread::yield();
            m_kManager.Free(Alloc(48));
            EXPECT_EQ(m_kManager.Free(pBlock), 0);
        }
    });
    kProducer.join();
    kConsumer.join();
    EXPECT_EQ(m_kManager.GetNumAllocations(), 0u);
    EXPECT_EQ(m_kManager.GetAllocatedBytes(), 0u);
}

namespace {
struct SFirstBase
{
    virtual ~SFirstBase() = default;
};
struct SSecondBase
{
    virtual ~SSecondBase() = default;
};
struct SDerived : SFirstBase, SSecondBase
{
    static inline int s_iDestroyed = 0;
    ~SDerived() override { ++s_iDestroyed; }
};
}  // namespace

TEST_F(MemoryManager, DeleteThroughASecondaryBaseFreesTheWholeBlock)
{
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    {
        // Registers the tag path first: the registry's own blocks stay.
        Common::Mem::CTagScope kWarmUp("Tests::Delete");
    }
    const uint32 uiBefore = pManager->GetNumAllocations();
    SDerived::s_iDestroyed = 0;
    SSecondBase* pObject = TARN_NEW_TAGGED("Tests::Delete", SDerived);
    EXPECT_NE(static_cast<void*>(pObject), dynamic_cast<void*>(pObject));
    TestSupport::CAssertCapture kReports;
    TARN_DELETE(pObject);
    EXPECT_EQ(SDerived::s_iDestroyed, 1);
    EXPECT_EQ(kReports.Count(), 0u);
    EXPECT_EQ(pManager->GetNumAllocations(), uiBefore);
}

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"
#include "support/ReportCapture.h"

using Common::Mem::CMemoryManager;
using Common::Mem::SAllocInfo;

namespace {

// Sanitizers rightly flag the one read of released memory that a second free
// makes on purpose (it finds the cleared signature there).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedMemory = true;
#else
constexpr bool kSanitizedMemory = false;
#endif

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

}  // namespace

TEST(MemoryManager, BlocksAreAlignedAndRecordTheirOrigin)
{
    CMemoryManager kManager;
    for (uint32 uiAlignment : {0u, 1u, 2u, 8u, 16u, 64u, 4096u, 1u << 20})
    {
        SCOPED_TRACE(uiAlignment);
        const int iLine = __LINE__ + 1;
        char* pBlock = static_cast<char*>(kManager.Alloc(100, uiAlignment, __FILE__, iLine));
        ASSERT_NE(pBlock, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pBlock) % (uiAlignment > 16 ? uiAlignment : 16), 0u);
        memset(pBlock, 0xAB, 100);
        const SAllocInfo* pInfo = HeaderOf(pBlock);
        EXPECT_EQ(pInfo->size, 100u);
        EXPECT_EQ(pInfo->ptr, pBlock);
        EXPECT_STREQ(pInfo->file, __FILE__);
        EXPECT_EQ(pInfo->GetLine(), static_cast<uint32>(iLine));
        EXPECT_EQ(pInfo->GetHeapIndex(), 0);
        EXPECT_EQ(memcmp(pInfo->signature, "COMMMEMM", 8), 0);
        EXPECT_EQ(GuardAfter(pBlock, 100), CMemoryManager::kGuardWord);
        EXPECT_EQ(kManager.GetNumAllocations(), 1u);
        EXPECT_EQ(kManager.Free(pBlock), 0);
        EXPECT_EQ(kManager.GetNumAllocations(), 0u);
    }
}

TEST(MemoryManager, ZeroByteBlockHasItsGuardRightAfterTheHeader)
{
    CMemoryManager kManager;
    void* pBlock = kManager.Alloc(0, 16, __FILE__, __LINE__);
    ASSERT_NE(pBlock, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pBlock) % 16, 0u);
    EXPECT_EQ(GuardAfter(pBlock, 0), CMemoryManager::kGuardWord);
    EXPECT_EQ(kManager.Free(pBlock), 0);
}

TEST(MemoryManager, RejectedRequestsAreReportedAndAllocateNothing)
{
    struct SCase
    {
        size_t uiSize;
        uint32 uiAlignment;
        const char* pReport;
    };
    const SCase akCases[] = {
        {16, 24, "Assertion \"(alignementbytes & (alignementbytes - 1)) == 0\" failed. Alignment of 24 bytes is not a power of two"},
        {16, 1u << 29, "Assertion \"alignementbytes<=268435456\" failed. Alignment of 536870912 bytes is larger than the manager supports"},
        {size_t(5) << 30, 16, "Assertion \"size<=kMaxBlockSize\" failed. Alloc of 5368709120 bytes is larger than a block can record"},
    };
    CMemoryManager kManager;
    for (const SCase& kCase : akCases)
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_EQ(kManager.Alloc(kCase.uiSize, kCase.uiAlignment, __FILE__, __LINE__), nullptr);
        EXPECT_EQ(kReports.Texts(), std::vector<std::string>{kCase.pReport});
        EXPECT_EQ(kManager.GetNumAllocations(), 0u);
    }
}

TEST(MemoryManager, OverrunGuardIsReportedAndTheBlockStillFreed)
{
    CMemoryManager kManager;
    TestSupport::CLogCapture kLog;
    char* pBlock = static_cast<char*>(kManager.Alloc(32, 16, __FILE__, __LINE__));
    ASSERT_NE(pBlock, nullptr);
    pBlock[32] = 'X';  // one byte past the end: the guard word

    EXPECT_EQ(kManager.CheckBufferOverrun(), 1u);
    EXPECT_TRUE(kLog.Has("Memory Manager Check: 1 Buffer Overrun"));
    EXPECT_TRUE(kLog.Contains("Buffer Overrun at 0x"));

    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(kManager.Free(pBlock), 0);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"false\" failed. BUFFER_OVERRUN"});
    EXPECT_EQ(kManager.GetNumAllocations(), 0u);
    EXPECT_EQ(kManager.GetAllocatedBytes(), 0u);
}

TEST(MemoryManager, ForeignAndFreedPointersAreReportedAndLeftAlone)
{
    CMemoryManager kManager;
    // A pointer into the middle of a zeroed buffer never came from the manager.
    std::vector<char> kForeign(256, 0);
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_EQ(kManager.Free(kForeign.data() + 128), 3);
        EXPECT_EQ(kManager.GetLastError(), 3);
        EXPECT_STREQ(CMemoryManager::GetErrorText(kManager.GetLastError()), "Invalid pointer");
        EXPECT_EQ(kReports.Texts(), std::vector<std::string>{
                                        "Assertion \"_pHeap\" failed. Memory not-allocated with MemoryManager. This should not happen."});
    }
    EXPECT_EQ(kManager.Free(nullptr), 0);
    EXPECT_EQ(kManager.GetLastError(), 0);

    if (kSanitizedMemory)
        GTEST_SKIP() << "a second free reads released memory by design";
    void* pBlock = kManager.Alloc(64, 16, __FILE__, __LINE__);
    EXPECT_EQ(kManager.Free(pBlock), 0);
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(kManager.Free(pBlock), 3);
    EXPECT_EQ(kReports.Count(), 1u);
    EXPECT_EQ(kManager.GetNumAllocations(), 0u);
}

TEST(MemoryManager, ReallocKeepsContentsAndAccounting)
{
    CMemoryManager kManager;
    // Null makes a new block.
    char* pBlock = static_cast<char*>(kManager.Realloc(nullptr, 40, __FILE__, __LINE__));
    ASSERT_NE(pBlock, nullptr);
    for (int i = 0; i < 40; ++i)
        pBlock[i] = static_cast<char>(i);

    pBlock = static_cast<char*>(kManager.Realloc(pBlock, 100000, __FILE__, __LINE__));
    ASSERT_NE(pBlock, nullptr);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(pBlock[i], static_cast<char>(i));
    EXPECT_EQ(GuardAfter(pBlock, 100000), CMemoryManager::kGuardWord);
    EXPECT_EQ(kManager.GetAllocatedBytes(), 100000u);

    pBlock = static_cast<char*>(kManager.Realloc(pBlock, 10, __FILE__, __LINE__));
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(pBlock[i], static_cast<char>(i));
    EXPECT_EQ(kManager.GetNumAllocations(), 1u);
    EXPECT_EQ(kManager.GetAllocatedBytes(), 10u);
    EXPECT_EQ(kManager.Free(pBlock), 0);

    // A block aligned far beyond 16 bytes keeps its data when shrunk.
    char* pAligned = static_cast<char*>(kManager.Alloc(5000, 4096, __FILE__, __LINE__));
    for (int i = 0; i < 5000; ++i)
        pAligned[i] = static_cast<char>(i * 7);
    pAligned = static_cast<char*>(kManager.Realloc(pAligned, 300, __FILE__, __LINE__));
    ASSERT_NE(pAligned, nullptr);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(pAligned[i], static_cast<char>(i * 7));
    EXPECT_EQ(kManager.Free(pAligned), 0);

    // A pointer the manager did not make comes back unchanged.
    std::vector<char> kForeign(256, 0);
    EXPECT_EQ(kManager.Realloc(kForeign.data() + 128, 10, __FILE__, __LINE__), kForeign.data() + 128);
}

TEST(MemoryManager, ReallocOnAnotherThreadsHeapIsRefusedAndTheBlockStaysValid)
{
    CMemoryManager kManager;
    char* pBlock = static_cast<char*>(kManager.Alloc(16, 16, __FILE__, __LINE__));
    strcpy(pBlock, "still here");
    std::thread kOther([&] {
        ASSERT_NE(kManager.CreateThreadHeap(), nullptr);
        TestSupport::CAssertCapture kReports;
        EXPECT_EQ(kManager.Realloc(pBlock, 64, __FILE__, __LINE__), nullptr);
        EXPECT_TRUE(kReports.Has("Assertion \"m_kHeaps[pAllocList->sAllocInfo.heap_index].iIndex == pHeapInfo->iIndex\" "
                                 "failed. memory wasn't allocated with this heap"));
        // Freeing on any thread is fine.
    });
    kOther.join();
    EXPECT_STREQ(pBlock, "still here");
    EXPECT_EQ(kManager.Free(pBlock), 0);
}

TEST(MemoryManager, ThreadHeapsAreLimitedToSixteen)
{
    CMemoryManager kManager;
    std::vector<int> kResults;
    // Heap 0 exists; fifteen threads get a heap each, the sixteenth does not.
    for (int i = 0; i < 16; ++i)
    {
        TestSupport::CAssertCapture kReports;
        bool bCreated = false;
        std::thread kThread([&] {
            Common::Mem::SHeapInfo* pHeap = kManager.CreateThreadHeap();
            bCreated = pHeap != nullptr;
            if (pHeap)
            {
                void* pBlock = kManager.Alloc(8, 16, __FILE__, __LINE__);
                EXPECT_EQ(HeaderOf(pBlock)->GetHeapIndex(), pHeap->iIndex);
                kManager.Free(pBlock);
            }
        });
        kThread.join();
        EXPECT_EQ(bCreated, i < 15) << i;
        EXPECT_EQ(kReports.Count(), i < 15 ? 0u : 1u) << i;
    }
    EXPECT_EQ(kManager.GetNumHeaps(), 16u);
}

TEST(MemoryManager, TagsAccountNestedPathsAndFollowFreesOnOtherThreads)
{
    CMemoryManager kManager;
    const uint32 uiOuter = kManager.PushTag("Outer");
    ASSERT_NE(uiOuter, 0u);
    void* pOuterBlock = kManager.Alloc(100, 16, __FILE__, __LINE__);
    const uint32 uiInner = kManager.PushTag("Inner");
    void* pInnerBlock = kManager.Alloc(50, 16, __FILE__, __LINE__);
    EXPECT_EQ(kManager.GetTagDepth(), 2u);
    EXPECT_EQ(kManager.GetCurrentTagId(), uiInner);
    EXPECT_EQ(HeaderOf(pInnerBlock)->tag, uiInner);
    EXPECT_TRUE(HeaderOf(pInnerBlock)->IsTracked());
    EXPECT_EQ(kManager.GetTagBytes(uiOuter), 150u);
    EXPECT_EQ(kManager.GetTagBytes(uiInner), 50u);

    // Suspended tracking: the block carries no tag and counts nowhere.
    kManager.SuspendTracking();
    void* pUntracked = kManager.Alloc(1000, 16, __FILE__, __LINE__);
    kManager.ResumeTracking();
    EXPECT_EQ(HeaderOf(pUntracked)->tag, 0u);
    EXPECT_EQ(kManager.GetTagBytes(uiOuter), 150u);

    // Growing a tracked block moves its bytes with it.
    pInnerBlock = kManager.Realloc(pInnerBlock, 80, __FILE__, __LINE__);
    EXPECT_EQ(kManager.GetTagBytes(uiInner), 80u);
    EXPECT_EQ(kManager.GetTagBytes(uiOuter), 180u);

    kManager.PopTag();
    EXPECT_EQ(kManager.GetCurrentTagId(), uiOuter);
    // The same name under the same parent is the same path.
    EXPECT_EQ(kManager.PushTag("Inner"), uiInner);
    kManager.PopAllTags();
    EXPECT_EQ(kManager.GetTagDepth(), 0u);

    // A block freed on another thread is subtracted from its own path.
    std::thread kOther([&] { EXPECT_EQ(kManager.Free(pInnerBlock), 0); });
    kOther.join();
    EXPECT_EQ(kManager.GetTagBytes(uiInner), 0u);
    EXPECT_EQ(kManager.GetTagBytes(uiOuter), 100u);
    kManager.Free(pOuterBlock);
    kManager.Free(pUntracked);
    EXPECT_EQ(kManager.GetTagBytes(uiOuter), 0u);
}

TEST(MemoryManager, ThreadTagListsReturnToThePoolWhenThreadsEnd)
{
    CMemoryManager kManager;
    TestSupport::CAssertCapture kReports;
    for (int i = 0; i < 40; ++i)
    {
        std::thread kThread([&] {
            EXPECT_NE(kManager.PushTag("Worker"), 0u);
            kManager.Free(kManager.Alloc(8, 16, __FILE__, __LINE__));
        });
        kThread.join();
    }
    EXPECT_EQ(kReports.Count(), 0u);
}

TEST(MemoryManager, LeakReportCountsLiveBlocks)
{
    CMemoryManager kManager;
    void* pFirst = kManager.Alloc(10, 16, __FILE__, __LINE__);
    void* pSecond = kManager.Alloc(20, 16, __FILE__, __LINE__);
    {
        TestSupport::CLogCapture kLog;
        EXPECT_EQ(kManager.ReportLeaks(), 2u);
        EXPECT_TRUE(kLog.Has("Memory Manager C++ Leaks detected ..."));
        EXPECT_TRUE(kLog.Has("Numbers of allocation : 2 (30 bytes)"));
        EXPECT_TRUE(kLog.Has(std::string(73, '-')));
    }
    kManager.Free(pFirst);
    {
        // One block left is a leak too.
        TestSupport::CLogCapture kLog;
        EXPECT_EQ(kManager.ReportLeaks(), 1u);
        EXPECT_TRUE(kLog.Has("Numbers of allocation : 1 (20 bytes)"));
    }
    kManager.Free(pSecond);
    TestSupport::CLogCapture kLog;
    EXPECT_EQ(kManager.ReportLeaks(), 0u);
    EXPECT_TRUE(kLog.Has("Memory Manager C++ Leak detected : 0 !!! "));
}

TEST(MemoryManager, ReportsListBlocksByThresholdAndFile)
{
    CMemoryManager kManager;
    void* pSmall = kManager.Alloc(100, 16, "small.cpp", 7);
    void* pLarge = kManager.Alloc(3 << 20, 16, "large.cpp", 9);
    TestSupport::CLogCapture kLog;
    kManager.DisplayAllocs(0x100000);
    EXPECT_TRUE(kLog.Contains("large.cpp(9):        3 MB addr("));
    EXPECT_FALSE(kLog.Contains("small.cpp"));
    EXPECT_TRUE(kLog.Has("CMemoryManager Numbers of allocation=2"));
    kManager.DisplayAllocsByFile();
    EXPECT_TRUE(kLog.Has("CMemoryManager Num Allocating Files=2"));
    EXPECT_TRUE(kLog.Has("large.cpp(1): 3 MB"));
    kManager.Free(pSmall);
    kManager.Free(pLarge);
}

TEST(MemoryManager, ConcurrentAllocAndFreeKeepTheListsConsistent)
{
    CMemoryManager kManager;
    std::vector<void*> kShared(5000, nullptr);
    // Thread 1 allocates on its own heap; thread 2 frees those blocks while
    // allocating and freeing its own on heap 0. Between two shared blocks
    // thread 1 works alone on its heap long enough to become the lock's
    // favoured thread, so that every free by thread 2 revokes the favour
    // while thread 1 may be inside.
    std::thread kProducer([&] {
        kManager.CreateThreadHeap();
        for (void*& pSlot : kShared)
        {
            for (int i = 0; i < 80; ++i)
                kManager.Free(kManager.Alloc(40, 16, __FILE__, __LINE__));
            __atomic_store_n(&pSlot, kManager.Alloc(24, 16, __FILE__, __LINE__), __ATOMIC_RELEASE);
        }
    });
    std::thread kConsumer([&] {
        for (void*& pSlot : kShared)
        {
            void* pBlock;
            while (!(pBlock = __atomic_load_n(&pSlot, __ATOMIC_ACQUIRE)))
                std::this_thread::yield();
            kManager.Free(kManager.Alloc(48, 16, __FILE__, __LINE__));
            EXPECT_EQ(kManager.Free(pBlock), 0);
        }
    });
    kProducer.join();
    kConsumer.join();
    EXPECT_EQ(kManager.GetNumAllocations(), 0u);
    EXPECT_EQ(kManager.GetAllocatedBytes(), 0u);
}

namespace {
struct SFirstBase
{
    virtual ~SFirstBase() = default;
    int iFirst = 1;
};
struct SSecondBase
{
    virtual ~SSecondBase() = default;
    int iSecond = 2;
};
struct SDerived : SFirstBase, SSecondBase
{
    explicit SDerived(bool* pDestroyed) : pFlag(pDestroyed) {}
    ~SDerived() override { *pFlag = true; }
    bool* pFlag;
};
}  // namespace

TEST(MemoryManager, DeleteThroughASecondaryBaseFreesTheWholeBlock)
{
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    {
        // Registers the tag path first: the registry's own blocks stay.
        Common::Mem::CTagScope kWarmUp("Tests::Delete");
    }
    const uint32 uiBefore = pManager->GetNumAllocations();
    bool bDestroyed = false;
    SSecondBase* pObject = TARN_NEW_TAGGED("Tests::Delete", SDerived, &bDestroyed);
    ASSERT_NE(pObject, nullptr);
    EXPECT_NE(static_cast<void*>(pObject), dynamic_cast<void*>(pObject));
    TestSupport::CAssertCapture kReports;
    TARN_DELETE(pObject);
    EXPECT_TRUE(bDestroyed);
    EXPECT_EQ(kReports.Count(), 0u);
    EXPECT_EQ(pManager->GetNumAllocations(), uiBefore);
}

TEST(MemoryManager, AReportMadeUnderAHeapLockMayAllocate)
{
    // An assertion handler that allocates runs while Free holds the heap's
    // lock (the overrun report): the lock must let its holder in again.
    CMemoryManager kManager;
    struct SState
    {
        CMemoryManager* pManager;
        int iReports;
    } kState{&kManager, 0};
    void* pOldUser = nullptr;
    Common::AssertHandler pOld = Common::SetAssertHandler(
        [](const char*, int, const char*, void* pUser) {
            auto* pState = static_cast<SState*>(pUser);
            ++pState->iReports;
            pState->pManager->Free(pState->pManager->Alloc(32, 16, __FILE__, __LINE__));
        },
        &kState, &pOldUser);
    char* pBlock = static_cast<char*>(kManager.Alloc(8, 16, __FILE__, __LINE__));
    pBlock[8] = 'X';
    EXPECT_EQ(kManager.Free(pBlock), 0);
    Common::SetAssertHandler(pOld, pOldUser);
    EXPECT_EQ(kState.iReports, 1);
    EXPECT_EQ(kManager.GetNumAllocations(), 0u);
}

TEST(MemoryManager, EveryErrorHasItsOwnText)
{
    // Each error a call can leave has a text of its own (the one Free gives
    // for a heap without a handle once printed "Undefined error").
    const std::pair<int32, const char*> akErrors[] = {
        {Common::Mem::kErrNone, "No error"},
        {Common::Mem::kErrCannotAllocMainMemory, "Cannot alloc main memory"},
        {Common::Mem::kErrNotEnoughMemory, "Not enough memory"},
        {Common::Mem::kErrInvalidPointer, "Invalid pointer"},
        {Common::Mem::kErrHeapHasNoHandle, "Heap has no handle"},
        {99, "Undefined error"},
    };
    for (const auto& [iError, pText] : akErrors)
        EXPECT_STREQ(CMemoryManager::GetErrorText(iError), pText) << iError;
}

#include <chrono>
#include <optional>
#include <semaphore>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "System/Mutex/Mutex.h"

namespace {

using namespace std::chrono_literals;

// Takes the lock on another thread, says so through kAcquired, and lets go
// when destroyed.
template <class L> struct SContender
{
    explicit SContender(L& kLock)
        : kThread([this, &kLock] {
              kLock.Lock();
              kAcquired.release();
              kRelease.acquire();
              kLock.Unlock();
          })
    {
    }
    ~SContender() { kRelease.release(); }
    std::binary_semaphore kAcquired{0};
    std::binary_semaphore kRelease{0};
    std::jthread kThread;
};

template <class L> class MutexLockTest : public testing::Test
{
};
using LockTypes = testing::Types<Common::Posix::CMutex, Common::CMutex, Common::CLockable>;
TYPED_TEST_SUITE(MutexLockTest, LockTypes);

}  // namespace

// Taking the lock twice on one thread (the second time through a guard)
// needs two releases; after them another thread gets it, before them it does
// not. A guard of no lock takes and frees nothing.
TYPED_TEST(MutexLockTest, ReentrantLockExcludesOthersUntilFullyReleased)
{
    TypeParam kLock;
    std::optional<SContender<TypeParam>> kOther;
    kLock.Lock();
    {
        Common::MT::CScopeLock<TypeParam> kGuard(&kLock);
        Common::MT::CScopeLock<TypeParam> kNullGuard(nullptr);
        kOther.emplace(kLock);
    }
    EXPECT_FALSE(kOther->kAcquired.try_acquire_for(50ms)) << "one release must not free a lock taken twice";
    kLock.Unlock();
    EXPECT_TRUE(kOther->kAcquired.try_acquire_for(10s));
    kOther.reset();
    kLock.Lock();  // the other thread let go as well
    kLock.Unlock();
}

// Increments made only through the guards are never lost, whichever Lock
// variant the threads use.
TEST(MutexSelfLockedTest, GuardsSerialiseConcurrentUpdates)
{
    struct SCounters
    {
        uint64 uiValue = 0;
        uint64 uiCheck = 0;
    };
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    Common::SelfLocked<SCounters> kShared;
    std::vector<std::thread> kThreadsList;
    for (int iThread = 0; iThread < kThreads; ++iThread)
        kThreadsList.emplace_back([&kShared, iThread] {
            const Common::SelfLocked<SCounters>& kConstView = kShared;
            for (int i = 0; i < kIncrements; ++i)
            {
                auto kGuard = (iThread % 2 == 0) ? kShared.Lock() : kConstView.Lock();
                // Two separate read-modify-writes: a torn update shows up as
                // a mismatch between them.
                const uint64 uiSeen = kGuard->uiValue;
                kGuard->uiValue = uiSeen + 1;
                (*kGuard).uiCheck += 1;
                EXPECT_EQ(kGuard.Get()->uiValue, kGuard->uiCheck);
            }
        });
    for (std::thread& kThread : kThreadsList)
        kThread.join();
    EXPECT_EQ(kShared.Lock()->uiValue, static_cast<uint64>(kThreads) * kIncrements);
}

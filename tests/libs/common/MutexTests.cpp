#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "System/Event/Event.h"
#include "System/Mutex/Mutex.h"

namespace {

// Locks L on another thread and reports through kAcquired once it holds it;
// lets go when kRelease is set.
template <class L>
class CContender
{
public:
    explicit CContender(L& kLock) : m_kLock(kLock)
    {
        m_kAcquired.Create(true);
        m_kRelease.Create(true);
        m_kThread = std::thread([this] {
            m_kLock.Lock();
            m_kAcquired.Set();
            m_kRelease.Wait();
            m_kLock.Unlock();
        });
    }
    ~CContender()
    {
        m_kRelease.Set();
        m_kThread.join();
    }
    Common::CEvent& Acquired() { return m_kAcquired; }

private:
    L& m_kLock;
    Common::CEvent m_kAcquired;
    Common::CEvent m_kRelease;
    std::thread m_kThread;
};

template <class L>
class MutexLockTest : public testing::Test
{
};

using LockTypes = testing::Types<Common::Posix::CMutex, Common::CMutex, Common::CLockable>;
TYPED_TEST_SUITE(MutexLockTest, LockTypes);

// Taking the lock twice on one thread needs two releases; after them another
// thread gets it, before them it does not.
TYPED_TEST(MutexLockTest, ReentrantLockExcludesOthersUntilFullyReleased)
{
    TypeParam kLock;
    kLock.Lock();
    kLock.Lock();
    {
        CContender<TypeParam> kOther(kLock);
        kLock.Unlock();
        EXPECT_FALSE(kOther.Acquired().Wait(50)) << "one Unlock must not free a lock taken twice";
        kLock.Unlock();
        EXPECT_TRUE(kOther.Acquired().Wait(10000));
    }
    // The other thread let go as well: the lock is free again here.
    kLock.Lock();
    kLock.Unlock();
}

TEST(MutexScopeLockTest, GuardHoldsForItsScopeAndNullGuardDoesNothing)
{
    Common::CLockable kLockable;
    {
        Common::MT::CScopeLock<Common::CLockable> kNullGuard(nullptr);
        Common::MT::CScopeLock<Common::CMutex> kNullMutexGuard(nullptr);
    }
    std::optional<CContender<Common::CLockable>> kOther;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(&kLockable);
        // A null guard inside a real one neither takes nor frees anything.
        {
            Common::MT::CScopeLock<Common::CLockable> kNullGuard(nullptr);
        }
        kOther.emplace(kLockable);
        EXPECT_FALSE(kOther->Acquired().Wait(50));
    }
    EXPECT_TRUE(kOther->Acquired().Wait(10000));
}

struct SCounters
{
    uint64 uiValue = 0;
    uint64 uiCheck = 0;
};

// Increments made only through the guards are never lost, whichever Lock
// variant the threads use.
TEST(MutexSelfLockedTest, GuardsSerialiseConcurrentUpdates)
{
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    Common::SelfLocked<SCounters> kShared;
    std::vector<std::thread> kThreadsList;
    for (int iThread = 0; iThread < kThreads; ++iThread)
    {
        kThreadsList.emplace_back([&kShared, iThread] {
            const Common::SelfLocked<SCounters>& kConstView = kShared;
            for (int i = 0; i < kIncrements; ++i)
            {
                auto kGuard = (iThread % 2 == 0) ? kShared.Lock() : kConstView.Lock();
                // Two separate read-modify-writes: a torn update shows up
                // as a mismatch between them.
                const uint64 uiSeen = kGuard->uiValue;
                kGuard->uiValue = uiSeen + 1;
                (*kGuard).uiCheck += 1;
                EXPECT_EQ(kGuard.Get()->uiValue, kGuard->uiCheck);
            }
        });
    }
    for (std::thread& kThread : kThreadsList)
        kThread.join();
    EXPECT_EQ(kShared.Lock()->uiValue, static_cast<uint64>(kThreads) * kIncrements);
}

}  // namespace

#include <atomic>
#include <semaphore>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "System/Event/Event.h"
#include "System/Posix/PosixThreadId.h"

using Common::Posix::CEvent;
using Common::Posix::GetCurrentThreadId;
using EWaitResult = Common::Posix::CEvent::EWaitResult;

// Both kinds, waited for plainly and spinning first: created clear, several
// Sets count as one signal, Reset clears, Create starts afresh. Before Create,
// everything fails.
TEST(EventTest, SignalStateFollowsResetMode)
{
    Common::CEvent kEvent;
    EXPECT_FALSE(kEvent.Set() || kEvent.Reset() || kEvent.Wait(0) || kEvent.Wait() || kEvent.WaitWithMessages());
    EXPECT_FALSE(kEvent.WaitSpinning(100, CEvent::kInfinite));
    EXPECT_EQ(kEvent.WaitWithMessagesFor(10), EWaitResult::Failed);
    for (const auto& [bManualReset, uiSpin] : {std::pair{false, 0u}, {true, 0u}, {false, 100u}, {true, 100u}})
    {
        SCOPED_TRACE(testing::Message() << "manual reset " << bManualReset << ", spin " << uiSpin);
        const auto Wait = [&](uint32 uiMs) { return uiSpin ? kEvent.WaitSpinning(uiSpin, uiMs) : kEvent.Wait(uiMs); };
        ASSERT_TRUE(kEvent.Create(bManualReset));
        EXPECT_FALSE(Wait(50));
        EXPECT_TRUE(kEvent.Set() && kEvent.Set());
        EXPECT_TRUE(Wait(0));
        EXPECT_EQ(Wait(0), bManualReset);
        EXPECT_TRUE(kEvent.Set() && kEvent.Reset());
        EXPECT_FALSE(Wait(0));
        std::thread kSetter([&] { kEvent.Set(); });
        EXPECT_TRUE(Wait(CEvent::kInfinite));
        kSetter.join();
        EXPECT_TRUE(kEvent.Set());  // the next Create must clear it
    }
    // A time-out shorter than the spin ends the wait. Time-outs beyond poll's
    // int range are waited in pieces; a signal still ends such a wait.
    ASSERT_TRUE(kEvent.Create(false));
    EXPECT_FALSE(kEvent.WaitSpinning(1000000, 5));
    for (uint32 uiTimeout : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu})
    {
        std::thread kSetter([&] { kEvent.Set(); });
        EXPECT_TRUE(kEvent.Wait(uiTimeout)) << uiTimeout;
        kSetter.join();
    }
}

// One Set releases one of two waiters of an auto-reset event, both waiters of
// a manual-reset one.
TEST(EventTest, OneSetReleasesOneAutoWaiterOrAllManualWaiters)
{
    for (bool bManualReset : {false, true})
    {
        SCOPED_TRACE(bManualReset ? "manual reset" : "auto reset");
        Common::CEvent kEvent;
        Common::CEvent kBoth;
        ASSERT_TRUE(kEvent.Create(bManualReset));
        ASSERT_TRUE(kBoth.Create(true));
        std::atomic<int> iReleased{0};
        const auto Waiter = [&] {
            if (kEvent.Wait() && iReleased.fetch_add(1) == 1)
                kBoth.Set();
            iReleased.notify_all();
        };
        std::jthread kFirst(Waiter);
        std::jthread kSecond(Waiter);
        EXPECT_TRUE(kEvent.Set());
        iReleased.wait(0);
        if (!bManualReset)
        {
            EXPECT_FALSE(kBoth.Wait(50)) << "an auto-reset signal released two waiters";
            EXPECT_FALSE(kEvent.Wait(0)) << "the released waiter did not consume the signal";
            EXPECT_TRUE(kEvent.Set());
        }
        EXPECT_TRUE(kBoth.Wait(10000));
    }
}

TEST(EventTest, WaitWithMessagesEndsOnEventOrWakeAndWakesNeedALiveChannel)
{
    Common::CEvent kEvent;
    ASSERT_TRUE(kEvent.Create(false));
    const uint32 uiSelf = GetCurrentThreadId();
    // Woken from another thread; the wake is consumed.
    ASSERT_TRUE(CEvent::EnsureThreadWakeChannel());
    std::thread kWaker([uiSelf] { EXPECT_TRUE(CEvent::PostThreadWake(uiSelf)); });
    EXPECT_EQ(kEvent.WaitWithMessagesFor(CEvent::kInfinite), EWaitResult::Woken);
    kWaker.join();
    EXPECT_EQ(kEvent.WaitWithMessagesFor(50), EWaitResult::TimedOut);
    // Ended by the event from another thread, which consumes the signal.
    std::thread kSetter([&kEvent] { kEvent.Set(); });
    EXPECT_EQ(kEvent.WaitWithMessagesFor(CEvent::kInfinite), EWaitResult::Signalled);
    kSetter.join();
    EXPECT_FALSE(kEvent.Wait(0));
    // Wakes posted before the wait are kept, and count as one.
    EXPECT_TRUE(CEvent::PostThreadWake(uiSelf));
    EXPECT_TRUE(CEvent::PostThreadWake(uiSelf));
    EXPECT_TRUE(kEvent.WaitWithMessages());
    EXPECT_EQ(kEvent.WaitWithMessagesFor(0), EWaitResult::TimedOut);
    // Both pending: the event comes first, the wake stays for the next wait.
    EXPECT_TRUE(kEvent.Set());
    EXPECT_TRUE(CEvent::PostThreadWake(uiSelf));
    EXPECT_EQ(kEvent.WaitWithMessagesFor(0), EWaitResult::Signalled);
    EXPECT_EQ(kEvent.WaitWithMessagesFor(0), EWaitResult::Woken);
    // A wake reaches only a thread that has a channel; posting to threads while
    // they create and tear down their channels either reaches a live channel
    // or fails cleanly.
    EXPECT_FALSE(CEvent::PostThreadWake(0));
    std::binary_semaphore kReady{0};
    std::binary_semaphore kGo{0};
    uint32 uiWorker = 0;
    std::thread kWorker([&] {
        uiWorker = GetCurrentThreadId();
        kReady.release();
        kGo.acquire();
        EXPECT_TRUE(CEvent::EnsureThreadWakeChannel() && CEvent::PostThreadWake(GetCurrentThreadId()));
    });
    kReady.acquire();
    EXPECT_FALSE(CEvent::PostThreadWake(uiWorker));  // no channel asked for yet
    kGo.release();
    kWorker.join();
    EXPECT_FALSE(CEvent::PostThreadWake(uiWorker));  // the channel went with the thread
    std::atomic<uint32> uiTarget{0};
    std::atomic<bool> bStop{false};
    std::thread kPoster([&] {
        while (!bStop.load())
            if (const uint32 uiId = uiTarget.load())
                CEvent::PostThreadWake(uiId);
    });
    for (int iRound = 0; iRound < 200; ++iRound)
        std::thread([&] {
            CEvent::EnsureThreadWakeChannel();
            uiTarget.store(GetCurrentThreadId());
            Common::CEvent kNeverSet;
            kNeverSet.Create(false);
            kNeverSet.WaitWithMessagesFor(1);
        }).join();
    bStop.store(true);
    kPoster.join();
}

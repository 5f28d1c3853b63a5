#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "System/Event/Event.h"
#include "System/Posix/PosixThreadId.h"

namespace {

using Common::Posix::CEvent;
using EWaitResult = Common::Posix::CEvent::EWaitResult;

TEST(EventTest, NeverCreatedEventFailsEveryOperation)
{
    Common::CEvent kEvent;
    EXPECT_FALSE(kEvent.Set());
    EXPECT_FALSE(kEvent.Reset());
    EXPECT_FALSE(kEvent.Wait(0));
    EXPECT_FALSE(kEvent.Wait(10));
    EXPECT_FALSE(kEvent.Wait());
    EXPECT_FALSE(kEvent.WaitSpinning(100, CEvent::kInfinite));
    EXPECT_FALSE(kEvent.WaitWithMessages());
    EXPECT_EQ(kEvent.WaitWithMessagesFor(10), EWaitResult::Failed);
}

// Single-threaded semantics of both kinds: created clear, a time-out when
// never set, several Sets count as one signal, Reset clears.
TEST(EventTest, SignalStateFollowsResetMode)
{
    for (bool bManualReset : {false, true})
    {
        SCOPED_TRACE(bManualReset ? "manual reset" : "auto reset");
        Common::CEvent kEvent;
        ASSERT_TRUE(kEvent.Create(bManualReset));
        EXPECT_FALSE(kEvent.Wait(0));
        EXPECT_FALSE(kEvent.Wait(50));

        EXPECT_TRUE(kEvent.Set());
        EXPECT_TRUE(kEvent.Set());
        EXPECT_TRUE(kEvent.Wait(0));
        EXPECT_EQ(kEvent.Wait(0), bManualReset);

        EXPECT_TRUE(kEvent.Set());
        EXPECT_TRUE(kEvent.Reset());
        EXPECT_FALSE(kEvent.Wait(0));
        EXPECT_TRUE(kEvent.Reset());

        // Spinning first changes nothing of that: a time-out shorter than
        // the spin ends the wait, and a signal is taken as Wait takes it.
        EXPECT_FALSE(kEvent.WaitSpinning(100, 0));
        EXPECT_FALSE(kEvent.WaitSpinning(1000000, 5));
        EXPECT_TRUE(kEvent.Set());
        EXPECT_TRUE(kEvent.WaitSpinning(100, 0));
        EXPECT_EQ(kEvent.WaitSpinning(100, 0), bManualReset);
        EXPECT_TRUE(kEvent.Reset());
        std::thread kSetter([&] { kEvent.Set(); });
        EXPECT_TRUE(kEvent.WaitSpinning(50, CEvent::kInfinite));
        kSetter.join();
        EXPECT_TRUE(kEvent.Reset());

        // Re-creating gives a fresh, clear event.
        EXPECT_TRUE(kEvent.Set());
        ASSERT_TRUE(kEvent.Create(bManualReset));
        EXPECT_FALSE(kEvent.Wait(0));
    }
}

// One Set releases one of two waiters of an auto-reset event, both waiters
// of a manual-reset one.
TEST(EventTest, OneSetReleasesOneAutoWaiterOrAllManualWaiters)
{
    for (bool bManualReset : {false, true})
    {
        SCOPED_TRACE(bManualReset ? "manual reset" : "auto reset");
        Common::CEvent kEvent;
        ASSERT_TRUE(kEvent.Create(bManualReset));
        Common::CEvent akReleased[2];
        std::atomic<int> iReleased{0};
        std::vector<std::thread> kWaiters;
        for (int i = 0; i < 2; ++i)
        {
            ASSERT_TRUE(akReleased[i].Create(true));
            kWaiters.emplace_back([&, i] {
                if (kEvent.Wait())
                {
                    akReleased[i].Set();
                    iReleased.fetch_add(1);
                    iReleased.notify_all();
                }
            });
        }

        EXPECT_TRUE(kEvent.Set());
        iReleased.wait(0);
        const int iFirst = akReleased[0].Wait(0) ? 0 : 1;
        const int iSecond = 1 - iFirst;
        if (bManualReset)
        {
            EXPECT_TRUE(akReleased[iSecond].Wait(10000));
        }
        else
        {
            EXPECT_FALSE(akReleased[iSecond].Wait(50)) << "an auto-reset signal released two waiters";
            EXPECT_FALSE(kEvent.Wait(0)) << "the released waiter did not consume the signal";
            EXPECT_TRUE(kEvent.Set());
            EXPECT_TRUE(akReleased[iSecond].Wait(10000));
        }
        for (std::thread& kWaiter : kWaiters)
            kWaiter.join();
        EXPECT_EQ(iReleased.load(), 2);
    }
}

// Time-outs beyond poll's int range are waited in pieces; a signal still ends
// such a wait.
TEST(EventTest, VeryLongTimeoutStillSeesTheSignal)
{
    for (uint32 uiTimeout : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu})
    {
        Common::CEvent kEvent;
        ASSERT_TRUE(kEvent.Create(false));
        std::thread kSetter([&] { kEvent.Set(); });
        EXPECT_TRUE(kEvent.Wait(uiTimeout)) << uiTimeout;
        kSetter.join();
    }
}

TEST(EventTest, WaitWithMessagesEndsOnEventOrWake)
{
    Common::CEvent kEvent;
    ASSERT_TRUE(kEvent.Create(false));
    const uint32 uiSelf = Common::Posix::GetCurrentThreadId();

    // Woken from another thread.
    ASSERT_TRUE(CEvent::EnsureThreadWakeChannel());
    std::thread kPoster([uiSelf] { EXPECT_TRUE(CEvent::PostThreadWake(uiSelf)); });
    EXPECT_EQ(kEvent.WaitWithMessagesFor(CEvent::kInfinite), EWaitResult::Woken);
    kPoster.join();
    // That wake was consumed.
    EXPECT_EQ(kEvent.WaitWithMessagesFor(50), EWaitResult::TimedOut);

    // Ended by the event from another thread; an auto-reset signal is
    // consumed by this wait.
    std::thread kSetter([&kEvent] { kEvent.Set(); });
    EXPECT_EQ(kEvent.WaitWithMessagesFor(CEvent::kInfinite), EWaitResult::Signalled);
    kSetter.join();
    EXPECT_FALSE(kEvent.Wait(0));

    // Wakes posted before the wait are kept, and count as one.
    EXPECT_TRUE(CEvent::PostThreadWake(uiSelf));
    EXPECT_TRUE(CEvent::PostThreadWake(uiSelf));
    EXPECT_TRUE(kEvent.WaitWithMessages());
    EXPECT_EQ(kEvent.WaitWithMessagesFor(0), EWaitResult::TimedOut);

    // Both pending: the event is reported first, the wake stays for the next
    // wait.
    EXPECT_TRUE(kEvent.Set());
    EXPECT_TRUE(CEvent::PostThreadWake(uiSelf));
    EXPECT_EQ(kEvent.WaitWithMessagesFor(0), EWaitResult::Signalled);
    EXPECT_EQ(kEvent.WaitWithMessagesFor(0), EWaitResult::Woken);
}

TEST(EventTest, PostThreadWakeFailsForThreadsWithoutChannel)
{
    EXPECT_FALSE(CEvent::PostThreadWake(0));

    // A live thread that never asked for a channel, then the same thread
    // once its channel went away with it.
    Common::CEvent kReady;
    Common::CEvent kGo;
    ASSERT_TRUE(kReady.Create(true));
    ASSERT_TRUE(kGo.Create(true));
    std::atomic<uint32> uiWorker{0};
    std::thread kWorker([&] {
        uiWorker.store(Common::Posix::GetCurrentThreadId());
        kReady.Set();
        kGo.Wait();
        CEvent::EnsureThreadWakeChannel();
        EXPECT_TRUE(CEvent::PostThreadWake(Common::Posix::GetCurrentThreadId()));
    });
    ASSERT_TRUE(kReady.Wait(10000));
    EXPECT_FALSE(CEvent::PostThreadWake(uiWorker.load()));
    kGo.Set();
    kWorker.join();
    EXPECT_FALSE(CEvent::PostThreadWake(uiWorker.load()));
}

// Posting to threads while they create and tear down their channels: every
// post either reaches a live channel or fails cleanly.
TEST(EventTest, PostingRacesWithChannelTeardown)
{
    constexpr int kRounds = 200;
    std::atomic<uint32> uiTarget{0};
    std::atomic<bool> bStop{false};
    std::thread kPoster([&] {
        while (!bStop.load())
        {
            const uint32 uiId = uiTarget.load();
            if (uiId != 0)
                CEvent::PostThreadWake(uiId);
        }
    });
    for (int iRound = 0; iRound < kRounds; ++iRound)
    {
        std::thread kTarget([&] {
            CEvent::EnsureThreadWakeChannel();
            uiTarget.store(Common::Posix::GetCurrentThreadId());
            Common::CEvent kNeverSet;
            kNeverSet.Create(false);
            kNeverSet.WaitWithMessagesFor(1);
        });
        kTarget.join();
    }
    bStop.store(true);
    kPoster.join();
}

}  // namespace

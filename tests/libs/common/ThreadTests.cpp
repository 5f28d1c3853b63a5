#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/ReportCapture.h"
#include "System/Event/Event.h"
#include "System/Posix/PosixThreadId.h"
#include "System/Thread/Posix/posix_thread.h"
#include "System/Thread/Thread.h"

namespace {

// A thread whose body is given by the test.
class CBodyThread : public Common::CThread
{
public:
    explicit CBodyThread(std::function<uint32()> kBody) : m_kBody(std::move(kBody)) {}
    ~CBodyThread() override { Wait(); }
    uint32 Run() override { return m_kBody(); }

private:
    std::function<uint32()> m_kBody;
};

std::string CurrentSystemName()
{
    char acName[64] = {};
    pthread_getname_np(pthread_self(), acName, sizeof(acName));
    return acName;
}

int CurrentNice()
{
    return getpriority(PRIO_PROCESS, static_cast<id_t>(Common::Posix::GetCurrentThreadId()));
}

// Runs kBody on a fresh thread and waits for it, so that priority changes
// never stick to the test runner's own thread.
void RunOnWorker(const std::function<void()>& kBody)
{
    CBodyThread kThread([&kBody] {
        kBody();
        return 0u;
    });
    ASSERT_TRUE(kThread.Start("PriorityWorker"));
    kThread.Wait();
}

TEST(ThreadTest, StartRunsBodyAndWaitEndsIt)
{
    std::atomic<uint32> uiBodyThreadId{0};
    Common::CEvent kGo;
    ASSERT_TRUE(kGo.Create(true));
    CBodyThread kThread([&] {
        uiBodyThreadId.store(Common::CThread::GetCurrentThreadId());
        kGo.Wait();
        return 7u;
    });
    EXPECT_FALSE(kThread.IsRunning());
    kThread.Wait();  // nothing started: returns at once

    ASSERT_TRUE(kThread.Start("Worker"));
    EXPECT_TRUE(kThread.IsRunning());
    // The id is published by the time Start returns.
    EXPECT_NE(kThread.GetThreadId(), 0u);

    // Several threads may wait for the same thread, as often as they like.
    std::thread kOtherWaiter([&] { kThread.Wait(); });
    kGo.Set();
    kThread.Wait();
    kThread.Wait();
    kOtherWaiter.join();
    EXPECT_FALSE(kThread.IsRunning());
    EXPECT_EQ(uiBodyThreadId.load(), kThread.GetThreadId());

    // A finished thread's object can start again.
    ASSERT_TRUE(kThread.Start("Again"));
    kThread.Wait();
    EXPECT_FALSE(kThread.IsRunning());
}

TEST(ThreadTest, PlatformThreadReportsExitCodeAndTimesOutWhileRunning)
{
    Common::CEvent kGo;
    ASSERT_TRUE(kGo.Create(true));
    auto pEntry = [](void* pParam) -> uint32 {
        static_cast<Common::CEvent*>(pParam)->Wait();
        return 42u;
    };
    Common::Posix::CThread kThread;
    uint32 uiExitCode = 0;
    EXPECT_FALSE(kThread.Wait(0));
    ASSERT_TRUE(kThread.Create(pEntry, &kGo, "Platform"));
    EXPECT_FALSE(kThread.Wait(50));
    EXPECT_FALSE(kThread.GetExitCode(&uiExitCode));
    kGo.Set();
    EXPECT_TRUE(kThread.Wait());
    ASSERT_TRUE(kThread.GetExitCode(&uiExitCode));
    EXPECT_EQ(uiExitCode, 42u);
    kThread.Close();
    EXPECT_FALSE(kThread.GetExitCode(&uiExitCode));
}

TEST(ThreadTest, StartNamesTheThreadBoundedly)
{
    const std::string kLong(100, 'n');
    struct SCase
    {
        const char* pName;
        std::string kExpectedName;    // kept by the object
        std::string kExpectedSystem;  // seen by the system (15 characters)
    };
    const SCase akCases[] = {
        {nullptr, "Thread", "Thread"},
        {"Loader", "Loader", "Loader"},
        {kLong.c_str(), std::string(63, 'n'), std::string(15, 'n')},
    };
    for (const SCase& kCase : akCases)
    {
        std::string kSeen;
        CBodyThread kThread([&kSeen] {
            kSeen = CurrentSystemName();
            return 0u;
        });
        ASSERT_TRUE(kThread.Start(kCase.pName));
        kThread.Wait();
        EXPECT_EQ(kThread.GetName(), kCase.kExpectedName);
        EXPECT_EQ(kSeen, kCase.kExpectedSystem);
    }

}

TEST(ThreadTest, PriorityLevelsRoundTripAndOtherNiceValuesReadAsNormal)
{
    RunOnWorker([] {
        // Nice values set directly, increasing: allowed without privileges.
        const uint32 uiTid = Common::Posix::GetCurrentThreadId();
        for (const auto& [iNice, uiLevel] : {std::pair{3, 3u}, {5, 4u}, {7, 3u}, {10, 5u}, {19, 6u}})
        {
            ASSERT_EQ(setpriority(PRIO_PROCESS, uiTid, iNice), 0) << strerror(errno);
            EXPECT_EQ(Common::CThread::GetCurrentThreadPriority(), uiLevel) << "nice " << iNice;
        }
        // Levels from the lowest priority up: where raising is refused, the
        // requested level is still what reads back.
        for (uint32 uiLevel : {6u, 5u, 4u, 3u, 2u, 1u, 0u})
        {
            EXPECT_TRUE(Common::CThread::SetCurrentThreadPriority(uiLevel));
            EXPECT_EQ(Common::CThread::GetCurrentThreadPriority(), uiLevel);
        }
        EXPECT_FALSE(Common::CThread::SetCurrentThreadPriority(7));
        EXPECT_EQ(Common::CThread::GetCurrentThreadPriority(), 0u);
    });

    Common::CEvent kGo;
    ASSERT_TRUE(kGo.Create(true));
    CBodyThread kThread([&kGo] {
        kGo.Wait();
        return 0u;
    });
    EXPECT_FALSE(kThread.SetPriority(4));  // nothing started
    ASSERT_TRUE(kThread.Start("Prioritised"));
    EXPECT_TRUE(kThread.SetPriority(5, true));
    EXPECT_FALSE(kThread.SetPriority(7));
    EXPECT_EQ(kThread.GetPriority(), 5u);
    EXPECT_TRUE(kThread.SetProcessor(1));
    kGo.Set();
    kThread.Wait();
}

// Without the right to raise priority, the requested level is kept, said so
// in the log, and read back; a later direct change of the nice value is
// reported as it is.
TEST(ThreadTest, RefusedPriorityIsRememberedAndLogged)
{
    TestSupport::CLogCapture kLog;
    RunOnWorker([&kLog] {
        // Capabilities are per thread: dropping the right to raise priority
        // here affects this worker only.
        __user_cap_header_struct kHeader{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct akData[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &kHeader, akData), 0);
        akData[0].effective &= ~(1u << CAP_SYS_NICE);
        ASSERT_EQ(syscall(SYS_capset, &kHeader, akData), 0);

        ASSERT_TRUE(Common::CThread::SetCurrentThreadPriority(6));
        ASSERT_TRUE(Common::CThread::SetCurrentThreadPriority(1));
        EXPECT_EQ(Common::CThread::GetCurrentThreadPriority(), 1u);
        if (CurrentNice() == -10)
            GTEST_SKIP() << "this system lets unprivileged threads raise priority";
        EXPECT_EQ(CurrentNice(), 19);
        EXPECT_TRUE(kLog.Contains("refused priority level 1"));

        ASSERT_EQ(setpriority(PRIO_PROCESS, Common::Posix::GetCurrentThreadId(), 19), 0);
        EXPECT_EQ(Common::CThread::GetCurrentThreadPriority(), 1u) << "nice unchanged: the memo stands";
        ASSERT_TRUE(Common::CThread::SetCurrentThreadPriority(5));  // nice 19 -> 10 is refused too
        EXPECT_EQ(Common::CThread::GetCurrentThreadPriority(), 5u);
    });
}

// Close lets go of a running thread without stopping it; the thread goes on
// and finishes its body.
TEST(ThreadTest, CloseLeavesARunningThreadRunning)
{
    Common::CEvent kGo;
    Common::CEvent kFinished;
    ASSERT_TRUE(kGo.Create(true));
    ASSERT_TRUE(kFinished.Create(true));
    std::atomic<int> iProgress{0};
    CBodyThread kThread([&] {
        kGo.Wait();
        iProgress.store(1);
        kFinished.Set();
        return 0u;
    });
    ASSERT_TRUE(kThread.Start("Detached"));
    kThread.Close();
    EXPECT_FALSE(kThread.IsRunning());  // no longer held
    EXPECT_EQ(kThread.GetThreadId(), 0u);
    EXPECT_FALSE(kFinished.Wait(50));
    kGo.Set();
    EXPECT_TRUE(kFinished.Wait(10000));
    EXPECT_EQ(iProgress.load(), 1);
}

TEST(ThreadTest, MainThreadIsTheInitialisingThreadUntilAHostNamesAnother)
{
    EXPECT_TRUE(Common::CThread::IsMainThread());
    std::atomic<int> iWorkerView{0};
    std::thread kWorker([&] {
        const bool bBefore = Common::CThread::IsMainThread();
        Common::CThread::SetMainThread();
        iWorkerView.store((bBefore ? 1 : 0) + (Common::CThread::IsMainThread() ? 2 : 0));
    });
    kWorker.join();
    EXPECT_EQ(iWorkerView.load(), 2) << "the worker is main only once it said so";
    EXPECT_FALSE(Common::CThread::IsMainThread());
    Common::CThread::SetMainThread();
    EXPECT_TRUE(Common::CThread::IsMainThread());
}

}  // namespace

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "System/Event/Event.h"
#include "System/Posix/PosixThreadId.h"
#include "System/Thread/Posix/posix_thread.h"
#include "System/Thread/Thread.h"
#include "support/ReportCapture.h"

namespace {

using Common::CThread;

// A thread whose body is given by the test.
class CBodyThread : public CThread
{
public:
    explicit CBodyThread(std::function<uint32()> kBody) : m_kBody(std::move(kBody)) {}
    ~CBodyThread() override { Wait(); }
    uint32 Run() override { return m_kBody(); }

private:
    std::function<uint32()> m_kBody;
};

// Runs kBody on a worker, so that priority changes never stick to the test
// runner's own thread.
void RunOnWorker(const std::function<void()>& kBody)
{
    CBodyThread kThread([&kBody] { return kBody(), 0u; });
    ASSERT_TRUE(kThread.Start("PriorityWorker"));
}

}  // namespace

TEST(ThreadTest, StartRunsTheBodyWaitEndsItCloseLetsGoAndTheExitCodeIsKept)
{
    Common::CEvent kGo;
    Common::CEvent kFinished;
    ASSERT_TRUE(kGo.Create(true));
    ASSERT_TRUE(kFinished.Create(false));
    std::atomic<uint32> uiBodyThreadId{0};
    CBodyThread kThread([&] {
        uiBodyThreadId.store(CThread::GetCurrentThreadId());
        kGo.Wait();
        kFinished.Set();
        return 0u;
    });
    EXPECT_FALSE(kThread.IsRunning());
    kThread.Wait();  // nothing started: returns at once
    ASSERT_TRUE(kThread.Start("Worker"));
    EXPECT_TRUE(kThread.IsRunning());
    EXPECT_NE(kThread.GetThreadId(), 0u);  // published by the time Start returns
    // Several threads may wait for the same thread, as often as they like.
    std::thread kOtherWaiter([&] { kThread.Wait(); });
    kGo.Set();
    kThread.Wait();
    kThread.Wait();
    kOtherWaiter.join();
    EXPECT_FALSE(kThread.IsRunning());
    EXPECT_EQ(uiBodyThreadId.load(), kThread.GetThreadId());
    // A finished thread's object starts again. Close lets go of the running
    // thread without stopping it: it goes on and finishes its body.
    ASSERT_TRUE(kFinished.Wait(0));
    ASSERT_TRUE(kGo.Reset());
    ASSERT_TRUE(kThread.Start("Again"));
    kThread.Close();
    EXPECT_FALSE(kThread.IsRunning());
    EXPECT_EQ(kThread.GetThreadId(), 0u);
    EXPECT_FALSE(kFinished.Wait(50));
    kGo.Set();
    EXPECT_TRUE(kFinished.Wait(10000));
    // The platform thread beneath times out while running and reports its
    // exit code once ended.
    ASSERT_TRUE(kGo.Reset());
    Common::Posix::CThread kPlatform;
    uint32 uiExitCode = 0;
    EXPECT_FALSE(kPlatform.Wait(0));
    const auto pEntry = [](void* pParam) -> uint32 { return static_cast<Common::CEvent*>(pParam)->Wait() ? 42 : 1; };
    ASSERT_TRUE(kPlatform.Create(pEntry, &kGo, "Platform"));
    EXPECT_FALSE(kPlatform.Wait(50));
    EXPECT_FALSE(kPlatform.GetExitCode(&uiExitCode));
    kGo.Set();
    EXPECT_TRUE(kPlatform.Wait());
    ASSERT_TRUE(kPlatform.GetExitCode(&uiExitCode));
    EXPECT_EQ(uiExitCode, 42u);
    kPlatform.Close();
    EXPECT_FALSE(kPlatform.GetExitCode(&uiExitCode));
}

// The object keeps up to 63 characters of the name, the system 15.
TEST(ThreadTest, StartNamesTheThreadBoundedly)
{
    const std::string kLong(100, 'n');
    const std::tuple<const char*, std::string, std::string> akCases[] = {
        {nullptr, "Thread", "Thread"},
        {"Loader", "Loader", "Loader"},
        {kLong.c_str(), std::string(63, 'n'), std::string(15, 'n')},
    };
    for (const auto& [pName, kExpectedName, kExpectedSystem] : akCases)
    {
        char acSeen[64] = {};
        CBodyThread kThread([&acSeen] { return uint32(pthread_getname_np(pthread_self(), acSeen, sizeof(acSeen))); });
        ASSERT_TRUE(kThread.Start(pName));
        kThread.Wait();
        EXPECT_EQ(kThread.GetName(), kExpectedName);
        EXPECT_EQ(std::string(acSeen), kExpectedSystem);
    }
}

TEST(ThreadTest, PriorityLevelsRoundTripAndOtherNiceValuesReadAsNormal)
{
    RunOnWorker([] {
        // Nice values set directly, increasing: allowed without privileges.
        for (const auto& [iNice, uiLevel] : {std::pair{3, 3u}, {5, 4u}, {7, 3u}, {10, 5u}, {19, 6u}})
        {
            ASSERT_EQ(setpriority(PRIO_PROCESS, Common::Posix::GetCurrentThreadId(), iNice), 0) << strerror(errno);
            EXPECT_EQ(CThread::GetCurrentThreadPriority(), uiLevel) << "nice " << iNice;
        }
        // Levels from the lowest priority up: where raising is refused, the
        // requested level is still what reads back.
        for (uint32 uiLevel : {6u, 5u, 4u, 3u, 2u, 1u, 0u})
        {
            EXPECT_TRUE(CThread::SetCurrentThreadPriority(uiLevel));
            EXPECT_EQ(CThread::GetCurrentThreadPriority(), uiLevel);
        }
        EXPECT_FALSE(CThread::SetCurrentThreadPriority(7));
        EXPECT_EQ(CThread::GetCurrentThreadPriority(), 0u);
    });
    Common::CEvent kGo;
    ASSERT_TRUE(kGo.Create(true));
    CBodyThread kThread([&kGo] { return kGo.Wait() ? 0u : 1u; });
    EXPECT_FALSE(kThread.SetPriority(4));  // nothing started
    ASSERT_TRUE(kThread.Start("Prioritised"));
    EXPECT_TRUE(kThread.SetPriority(5, true));
    EXPECT_FALSE(kThread.SetPriority(7));
    EXPECT_EQ(kThread.GetPriority(), 5u);
    EXPECT_TRUE(kThread.SetProcessor(1));
    kGo.Set();
}

// Without the right to raise priority, the requested level is kept, said so
// in the log, and read back; a later direct change of the nice value is
// reported as it is.
TEST(ThreadTest, RefusedPriorityIsRememberedAndLogged)
{
    TestSupport::CLogCapture kLog;
    RunOnWorker([&kLog] {
        // Capabilities are per thread: this drops the right for the worker only.
        __user_cap_header_struct kHeader{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct akData[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &kHeader, akData), 0);
        akData[0].effective &= ~(1u << CAP_SYS_NICE);
        ASSERT_EQ(syscall(SYS_capset, &kHeader, akData), 0);
        ASSERT_TRUE(CThread::SetCurrentThreadPriority(6));
        ASSERT_TRUE(CThread::SetCurrentThreadPriority(1));
        EXPECT_EQ(CThread::GetCurrentThreadPriority(), 1u);
        const int iNice = getpriority(PRIO_PROCESS, Common::Posix::GetCurrentThreadId());
        if (iNice == -10)
            GTEST_SKIP() << "this system lets unprivileged threads raise priority";
        EXPECT_EQ(iNice, 19);
        EXPECT_TRUE(kLog.Contains("refused priority level 1"));
        ASSERT_EQ(setpriority(PRIO_PROCESS, Common::Posix::GetCurrentThreadId(), 19), 0);
        EXPECT_EQ(CThread::GetCurrentThreadPriority(), 1u) << "nice unchanged: the memo stands";
        ASSERT_TRUE(CThread::SetCurrentThreadPriority(5));  // nice 19 -> 10 is refused too
        EXPECT_EQ(CThread::GetCurrentThreadPriority(), 5u);
    });
}

TEST(ThreadTest, MainThreadIsTheInitialisingThreadUntilAHostNamesAnother)
{
    EXPECT_TRUE(CThread::IsMainThread());
    std::thread([] {
        EXPECT_FALSE(CThread::IsMainThread());
        CThread::SetMainThread();
        EXPECT_TRUE(CThread::IsMainThread());
    }).join();
    EXPECT_FALSE(CThread::IsMainThread());
    CThread::SetMainThread();
    EXPECT_TRUE(CThread::IsMainThread());
}

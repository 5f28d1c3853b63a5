#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "Utils/debuglog.h"
#include "support/ReportCapture.h"

namespace {

using Common::CDebugLog;

// A thread that prints the texts it is given, one at a time, and stays alive
// until destroyed, so it keeps the line buffer it was given meanwhile.
class CPrinterThread
{
public:
    CPrinterThread() : m_kThread([this] { Run(); }) {}
    ~CPrinterThread()
    {
        {
            std::lock_guard<std::mutex> kGuard(m_kLock);
            m_bQuit = true;
        }
        m_kWake.notify_all();
        m_kThread.join();
    }

    // Returns once the thread has printed kText.
    void Print(const std::string& kText)
    {
        std::unique_lock<std::mutex> kGuard(m_kLock);
        m_kPending = kText;
        m_bHasWork = true;
        m_kWake.notify_all();
        m_kWake.wait(kGuard, [this] { return !m_bHasWork; });
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> kGuard(m_kLock);
        for (;;)
        {
            m_kWake.wait(kGuard, [this] { return m_bHasWork || m_bQuit; });
            if (!m_bHasWork)
                return;
            const std::string kText = m_kPending;
            kGuard.unlock();
            CDebugLog::Print("%s", kText.c_str());
            kGuard.lock();
            m_bHasWork = false;
            m_kWake.notify_all();
        }
    }

    std::mutex m_kLock;
    std::condition_variable m_kWake;
    std::string m_kPending;
    bool m_bHasWork = false;
    bool m_bQuit = false;
    std::thread m_kThread;
};

std::vector<std::string> TextsSince(const TestSupport::CDebuggerChannelCapture& kChannel, size_t uiFrom)
{
    const std::vector<std::string> kAll = kChannel.Texts();
    return std::vector<std::string>(kAll.begin() + static_cast<std::ptrdiff_t>(uiFrom), kAll.end());
}

TEST(DebugLog, ThreadBeyondTheBuffersGetsOnlyTheNotice)
{
    TestSupport::CLogCapture kLog;
    TestSupport::CDebuggerChannelCapture kChannel;
    const std::vector<std::string> kNotice = {"Increase CDebugLog MaxThread"};

    // This thread owns a buffer from here on; other tests of the same process
    // may have left it one already, and nothing says no other live thread
    // owns one. So new threads take the buffers until one is refused.
    CDebugLog::Print("main thread owns a buffer");
    ASSERT_TRUE(kLog.Has("main thread owns a buffer"));

    std::vector<std::unique_ptr<CPrinterThread>> kOwners;
    std::unique_ptr<CPrinterThread> pRefused;
    size_t uiChannelBefore = 0;
    for (uint32 i = 0; i < CDebugLog::MaxThread && !pRefused; ++i)
    {
        auto pThread = std::make_unique<CPrinterThread>();
        const std::string kText = "owner " + std::to_string(i);
        uiChannelBefore = kChannel.Texts().size();
        pThread->Print(kText);
        if (kLog.Has(kText))
            kOwners.push_back(std::move(pThread));
        else
            pRefused = std::move(pThread);
    }
    // With the main thread's buffer, at most MaxThread - 1 others fit.
    ASSERT_TRUE(pRefused) << "more than " << CDebugLog::MaxThread << " threads got a buffer";
    ASSERT_GE(kOwners.size(), 1u);
    EXPECT_EQ(TextsSince(kChannel, uiChannelBefore), kNotice);

    // Still refused on a second try, with the notice only.
    uiChannelBefore = kChannel.Texts().size();
    const size_t uiLinesBefore = kLog.Lines().size();
    pRefused->Print("refused again");
    EXPECT_EQ(TextsSince(kChannel, uiChannelBefore), kNotice);
    EXPECT_EQ(kLog.Lines().size(), uiLinesBefore);

    // A buffer comes back when its thread ends.
    kOwners.erase(kOwners.begin());
    pRefused->Print("printed after an owner ended");
    EXPECT_TRUE(kLog.Has("printed after an owner ended"));
    // And the thread keeps it for its next line.
    kOwners.push_back(std::make_unique<CPrinterThread>());
    uiChannelBefore = kChannel.Texts().size();
    kOwners.back()->Print("newcomer");
    pRefused->Print("second line of the same thread");
    EXPECT_TRUE(kLog.Has("second line of the same thread"));
    EXPECT_EQ(TextsSince(kChannel, uiChannelBefore),
              (std::vector<std::string>{kNotice[0], "second line of the same thread"}));
}

TEST(DebugLog, LongMessagesAreCut)
{
    TestSupport::CLogCapture kLog;
    const std::string kLong(5000, 'x');
    std::thread([&] { CDebugLog::Print("%s", kLong.c_str()); }).join();
    CDebugLog::Print("%s|%s", kLong.c_str(), "end");
    const std::vector<std::string> kLines = kLog.Lines();
    ASSERT_EQ(kLines.size(), 2u);
    for (const std::string& kLine : kLines)
        EXPECT_EQ(kLine, kLong.substr(0, CDebugLog::BufferSize - 1));
}

// Points the user's documents folder at a fresh directory under /tmp for the
// test's lifetime, and turns file output off afterwards.
class DebugLogFile : public testing::Test
{
protected:
    void SetUp() override
    {
        char acTemplate[] = "/tmp/debuglog_XXXXXX";
        ASSERT_NE(mkdtemp(acTemplate), nullptr);
        m_kRoot = acTemplate;
        for (const char* pName : {"HOME", "XDG_DOCUMENTS_DIR"})
        {
            const char* pOld = getenv(pName);
            m_kSaved.emplace_back(pName, pOld ? std::make_unique<std::string>(pOld) : nullptr);
            setenv(pName, m_kRoot.c_str(), 1);
        }
    }
    void TearDown() override
    {
        CDebugLog::SetLogFile(nullptr);
        for (auto& [kName, pValue] : m_kSaved)
        {
            if (pValue)
                setenv(kName.c_str(), pValue->c_str(), 1);
            else
                unsetenv(kName.c_str());
        }
        const std::string kCommand = "rm -rf '" + m_kRoot + "'";
        EXPECT_EQ(system(kCommand.c_str()), 0);
    }
    std::string m_kRoot;
    std::vector<std::pair<std::string, std::unique_ptr<std::string>>> m_kSaved;
};

TEST_F(DebugLogFile, DocumentsSubDirectoryGetsOneLinePerMessage)
{
    ASSERT_TRUE(CDebugLog::SetupLogLocation(true, "Tarn\\Logs\\Run", "session.log"));
    const std::string kDirectory = m_kRoot + "/Tarn/Logs/Run";
    struct stat kInfo{};
    ASSERT_EQ(stat(kDirectory.c_str(), &kInfo), 0);
    EXPECT_TRUE(S_ISDIR(kInfo.st_mode));
    char acPath[1024];
    CDebugLog::GetLogFilePath(acPath, sizeof(acPath));
    EXPECT_EQ(std::string(acPath), kDirectory + "/session.log");

    CDebugLog::Print("first line");
    CDebugLog::Print("second line ends with a newline\n");
    CDebugLog::Print("value %d", 3);
    std::ifstream kFile(kDirectory + "/session.log");
    std::stringstream kContent;
    kContent << kFile.rdbuf();
    EXPECT_EQ(kContent.str(), "first line\nsecond line ends with a newline\nvalue 3\n");
}

}  // namespace

TEST(DebugLogThrottle, RepeatedAndExcessLinesOfAThrottledThreadAreCountedNotPrinted)
{
    // Within one second (the scope's end closes the window at once).
    TestSupport::CLogCapture kLog;
    {
        CDebugLog::CThrottleScope kThrottle;
        for (int i = 0; i < 100; ++i)
        {
            CDebugLog::Print("bad request");
            CDebugLog::Print("no such command");
        }
        for (uint32 i = 0; i < 2 * CDebugLog::kThrottleLinesPerSecond; ++i)
            CDebugLog::Print("line %u", i);
    }
    std::vector<std::string> kExpected = {"bad request", "no such command"};
    for (uint32 i = 0; i + 2 < CDebugLog::kThrottleLinesPerSecond; ++i)
        kExpected.push_back("line " + std::to_string(i));
    kExpected.push_back("bad request ... repeated 99 times");
    kExpected.push_back("no such command ... repeated 99 times");
    kExpected.push_back("... " + std::to_string(CDebugLog::kThrottleLinesPerSecond + 2) + " further lines suppressed");
    EXPECT_EQ(kLog.Lines(), kExpected);

    // Outside a scope nothing is held back.
    TestSupport::CLogCapture kPlain;
    for (int i = 0; i < 3; ++i)
        CDebugLog::Print("bad request");
    EXPECT_EQ(kPlain.Lines(), (std::vector<std::string>{"bad request", "bad request", "bad request"}));
}
